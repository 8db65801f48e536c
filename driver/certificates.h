#pragma once

// Application certificates, private keys and security policies as the
// driver, the plant server and the tools use them with open62541 (mbedtls).

#include <open62541/plugin/securitypolicy.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One security policy by its short name ("Basic256Sha256") and URI.
struct SecurityPolicyInfo {
  const char* name;
  const char* uri;
  // Sets a policy up with a certificate and key (DER); null for None.
  UA_StatusCode (*make)(UA_SecurityPolicy* policy, const UA_ByteString certificate,
                        const UA_ByteString private_key, const UA_Logger* logger);
  // Current policies are the ones used when no policy is named; the others
  // (SHA-1 based) only when named.
  bool current;
};

// None first, then every policy of open62541 with mbedtls.
constexpr std::size_t kSecurityPolicyCount = 6;
extern const SecurityPolicyInfo kSecurityPolicies[kSecurityPolicyCount];

// The policy with this short name or URI; nullptr if there is none.
const SecurityPolicyInfo* find_security_policy(std::string_view name);

// "None, Basic128Rsa15, ..." for messages.
std::string security_policy_names();

// Longest file read as a certificate, key or trusted certificate.
constexpr std::size_t kMaxCertificateFileBytes = 1u << 20;

// Reads a regular file of at most kMaxCertificateFileBytes. Returns an empty
// string on success, otherwise what went wrong ("No such file or directory").
std::string read_small_file(const std::string& path, Bytes& out);

// Longest file read as a secret (a password file).
constexpr std::size_t kMaxSecretFileBytes = 4096;

// Reads a secret file: a regular file of at most kMaxSecretFileBytes that
// neither group nor others may read. `out` gets its text; an empty string
// is returned on success, otherwise the problem (never any of the text).
std::string read_secret_file(const std::string& path, std::string& out);

struct NamedBytes {
  std::string name;  // file name within its folder
  Bytes bytes;
};

// Bounds of a folder of certificates: a few files of a few kilobytes each.
constexpr std::size_t kMaxFolderFiles = 100;
constexpr std::size_t kMaxFolderFileBytes = 64u << 10;
constexpr std::size_t kMaxFolderBytes = 1u << 20;
// Regular files looked at in a folder at all; beyond that the rest is left.
constexpr std::size_t kMaxFolderEntries = 10000;

// Reads the regular files of a folder whose names do not start with '.',
// sorted by name, within the bounds above: a file larger than
// kMaxFolderFileBytes is skipped unread, and so is every file beyond the
// first kMaxFolderFiles or kMaxFolderBytes in all. `skipped` (may be null)
// then says in one sentence what was left out; it stays empty otherwise.
// Returns an empty string on success, else the problem.
std::string read_folder_files(const std::string& path, std::vector<NamedBytes>& out,
                              std::string* skipped = nullptr);

// The DER bytes of PEM text (the base64 between its BEGIN and END lines);
// data that is not PEM comes back unchanged, broken PEM as empty.
Bytes pem_to_der(const Bytes& data);

// The DER bytes of an unencrypted private key file's contents, DER or PEM.
// Returns an empty string on success, else the problem.
std::string load_private_key(const Bytes& contents, Bytes& der);

// The first URI of a DER certificate's subject alternative names; empty when
// it has none or the bytes are no certificate.
std::string certificate_uri(const Bytes& der);

// Checks that a DER certificate and DER private key load into a security
// policy and belong together (what the key signs, the certificate verifies).
// Returns an empty string when they do, else the problem.
std::string check_key_pair(const Bytes& certificate, const Bytes& private_key);

// The certificate's SHA-1 thumbprint as colon-separated upper-case hex;
// empty when the pair does not load.
std::string certificate_thumbprint(const Bytes& certificate, const Bytes& private_key);

// A new self-signed application certificate (DER) and RSA key (DER) for
// the application URI, valid for `days` days from now. Returns an empty
// string on success, else the problem.
std::string create_certificate(const std::string& uri, uint16_t days, Bytes& certificate,
                               Bytes& private_key);

// Overwrites the bytes with zeros before they are released.
void wipe(Bytes& bytes);
void wipe(std::string& text);
