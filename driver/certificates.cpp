#include "certificates.h"

#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki.h>
#include <open62541/plugin/securitypolicy_default.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

const SecurityPolicyInfo kSecurityPolicies[kSecurityPolicyCount] = {
    {"None", "http://opcfoundation.org/UA/SecurityPolicy#None", nullptr, false},
    {"Basic128Rsa15", "http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15",
     UA_SecurityPolicy_Basic128Rsa15, false},
    {"Basic256", "http://opcfoundation.org/UA/SecurityPolicy#Basic256", UA_SecurityPolicy_Basic256,
     false},
    {"Basic256Sha256", "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
     UA_SecurityPolicy_Basic256Sha256, true},
    {"Aes128_Sha256_RsaOaep", "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
     UA_SecurityPolicy_Aes128Sha256RsaOaep, true},
    {"Aes256_Sha256_RsaPss", "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
     UA_SecurityPolicy_Aes256Sha256RsaPss, true},
};

namespace {

// Policy set-up and certificate creation log through this: nothing is printed.
const UA_Logger kSilentLogger = {nullptr, nullptr, nullptr};

UA_ByteString view(const Bytes& bytes) {
  UA_ByteString s;
  s.length = bytes.size();
  s.data = const_cast<UA_Byte*>(bytes.data());
  return s;
}

// One DER element: its tag and the bounds of its contents.
struct Tlv {
  uint8_t tag = 0;
  const uint8_t* body = nullptr;
  std::size_t size = 0;
};

// Reads the element at p (definite lengths only) and moves p past it.
bool next_tlv(const uint8_t*& p, const uint8_t* end, Tlv& out) {
  if (end - p < 2) return false;
  out.tag = *p++;
  std::size_t length = *p++;
  if (length & 0x80u) {
    const std::size_t count = length & 0x7fu;
    if (count == 0 || count > 4 || static_cast<std::size_t>(end - p) < count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
  }
  if (static_cast<std::size_t>(end - p) < length) return false;
  out.body = p;
  out.size = length;
  p += length;
  return true;
}

// Subject alternative name: 2.5.29.17.
constexpr uint8_t kSanOid[] = {0x55, 0x1d, 0x11};

std::string uri_in_san(const Tlv& names) {
  const uint8_t* p = names.body;
  const uint8_t* end = p + names.size;
  Tlv seq;
  if (!next_tlv(p, end, seq) || seq.tag != 0x30) return {};
  p = seq.body;
  end = seq.body + seq.size;
  for (Tlv name; p < end && next_tlv(p, end, name);) {
    // uniformResourceIdentifier [6] IA5String
    if (name.tag == 0x86) return std::string(reinterpret_cast<const char*>(name.body), name.size);
  }
  return {};
}

std::string errno_text() { return std::strerror(errno); }

// A file name for a line of text: control characters shown as '?'.
std::string printable_name(std::string name) {
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return name;
}

}  // namespace

const SecurityPolicyInfo* find_security_policy(std::string_view name) {
  for (std::size_t i = 0; i < kSecurityPolicyCount; ++i) {
    const SecurityPolicyInfo& p = kSecurityPolicies[i];
    if (name == p.name || name == p.uri) return &p;
  }
  return nullptr;
}

std::string security_policy_names() {
  std::string names;
  for (std::size_t i = 0; i < kSecurityPolicyCount; ++i) {
    if (i > 0) names += ", ";
    names += kSecurityPolicies[i].name;
  }
  return names;
}

namespace {

// Reads a regular file of at most `limit` bytes into `out`, sized exactly.
std::string read_bounded(const std::string& path, std::size_t limit, Bytes& out) {
  out.clear();
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno_text();
  if (S_ISDIR(st.st_mode)) return "is a folder, not a file";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return errno_text();
  Bytes buf(limit + 1);
  const std::size_t n = std::fread(buf.data(), 1, buf.size(), file.get());
  std::string problem;
  if (std::ferror(file.get())) problem = errno_text();
  else if (n > limit) problem = "is larger than " + std::to_string(limit) + " bytes";
  else if (n == 0) problem = "is empty";
  else out.assign(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
  wipe(buf);
  return problem;
}

}  // namespace

std::string read_small_file(const std::string& path, Bytes& out) {
  return read_bounded(path, kMaxCertificateFileBytes, out);
}

std::string read_folder_files(const std::string& path, std::vector<NamedBytes>& out,
                              std::string* skipped) {
  out.clear();
  if (skipped) skipped->clear();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) return errno_text();
  struct Entry {
    std::string name;
    off_t size;
  };
  std::vector<Entry> entries;
  bool more = false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return errno_text();
      break;
    }
    if (entry->d_name[0] == '.') continue;
    struct stat st {};
    if (stat((path + "/" + entry->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (entries.size() == kMaxFolderEntries) {
      more = true;
      break;
    }
    entries.push_back({entry->d_name, st.st_size});
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  std::size_t total = 0, large = 0, beyond = 0;
  std::string first_large, first_beyond;
  for (const Entry& e : entries) {
    const auto size = static_cast<std::size_t>(e.size);
    if (size > kMaxFolderFileBytes) {
      if (large++ == 0) first_large = printable_name(e.name);
      continue;
    }
    if (out.size() == kMaxFolderFiles || total + size > kMaxFolderBytes) {
      if (beyond++ == 0) first_beyond = printable_name(e.name);
      continue;
    }
    NamedBytes file{e.name, {}};
    const std::string problem = read_bounded(path + "/" + e.name, kMaxFolderFileBytes, file.bytes);
    if (!problem.empty()) return e.name + ": " + problem;
    total += file.bytes.size();
    out.push_back(std::move(file));
  }
  if (skipped && (large > 0 || beyond > 0 || more)) {
    std::string& text = *skipped;
    text = "skipped " + std::to_string(large + beyond) + " of " + std::to_string(entries.size()) +
           (more ? "+" : "") + " files";
    if (large > 0)
      text += ", " + std::to_string(large) + " larger than " + std::to_string(kMaxFolderFileBytes) +
              " bytes (first \"" + first_large + "\")";
    if (beyond > 0)
      text += ", " + std::to_string(beyond) + " beyond the first " +
              std::to_string(kMaxFolderFiles) + " files or " + std::to_string(kMaxFolderBytes) +
              " bytes in all (first \"" + first_beyond + "\")";
    if (more)
      text += "; more than " + std::to_string(kMaxFolderEntries) + " files, the rest not looked at";
  }
  return {};
}

std::string read_secret_file(const std::string& path, std::string& out) {
  wipe(out);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno_text();
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    close(*f);
    delete f;
  });
  // The open file's own mode: a file swapped in after a check cannot slip by.
  struct stat st {};
  if (fstat(fd, &st) != 0) return errno_text();
  if (S_ISDIR(st.st_mode)) return "is a folder, not a file";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0)
    return "is readable by group or others (chmod 600 it)";
  char buf[kMaxSecretFileBytes + 1];
  std::size_t n = 0;
  while (n < sizeof buf) {
    const ssize_t k = read(fd, buf + n, sizeof buf - n);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) {
      std::memset(buf, 0, sizeof buf);
      return errno_text();
    }
    if (k == 0) break;
    n += static_cast<std::size_t>(k);
  }
  if (n > kMaxSecretFileBytes) {
    std::memset(buf, 0, sizeof buf);
    return "is larger than " + std::to_string(kMaxSecretFileBytes) + " bytes";
  }
  out.assign(buf, n);
  volatile char* p = buf;
  for (std::size_t i = 0; i < n; ++i) p[i] = 0;
  return {};
}

Bytes pem_to_der(const Bytes& data) {
  static constexpr char kBegin[] = "-----BEGIN ";
  static constexpr char kEnd[] = "-----END ";
  const std::string text(data.begin(), data.end());
  const std::size_t begin = text.find(kBegin);
  if (begin == std::string::npos) return data;
  const std::size_t body = text.find('\n', begin);
  const std::size_t end = text.find(kEnd, begin);
  if (body == std::string::npos || end == std::string::npos || end < body) return {};
  std::string base64;
  for (std::size_t i = body; i < end; ++i) {
    const char c = text[i];
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') base64.push_back(c);
  }
  UA_String encoded{base64.size(), reinterpret_cast<UA_Byte*>(base64.data())};
  UA_ByteString decoded;
  UA_ByteString_init(&decoded);
  if (UA_ByteString_fromBase64(&decoded, &encoded) != UA_STATUSCODE_GOOD) return {};
  Bytes der(decoded.data, decoded.data + decoded.length);
  UA_ByteString_memZero(&decoded);
  UA_ByteString_clear(&decoded);
  return der;
}

std::string load_private_key(const Bytes& contents, Bytes& der) {
  der.clear();
  constexpr char kNotAKey[] = "is not a DER or PEM private key, or is protected by a password";
  if (!contents.empty() && contents[0] != '-') {
    // DER: one SEQUENCE spanning the file; whether it is a key, the policy
    // that loads it finds out. (The library's own check is for PEM.)
    const uint8_t* p = contents.data();
    Tlv seq;
    if (!next_tlv(p, contents.data() + contents.size(), seq) || seq.tag != 0x30 ||
        p != contents.data() + contents.size())
      return kNotAKey;
    der = contents;
    return {};
  }
  const UA_ByteString in{contents.size(), const_cast<UA_Byte*>(contents.data())};
  UA_ByteString out;
  UA_ByteString_init(&out);
  const UA_StatusCode st = UA_PKI_decryptPrivateKey(in, UA_BYTESTRING_NULL, &out);
  if (st == UA_STATUSCODE_GOOD) der.assign(out.data, out.data + out.length);
  UA_ByteString_memZero(&out);
  UA_ByteString_clear(&out);
  return st == UA_STATUSCODE_GOOD ? std::string() : kNotAKey;
}

std::string certificate_uri(const Bytes& der) {
  // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { ... [3] extensions }, ... }
  const uint8_t* p = der.data();
  const uint8_t* end = p + der.size();
  Tlv cert, tbs;
  if (!next_tlv(p, end, cert) || cert.tag != 0x30) return {};
  p = cert.body;
  if (!next_tlv(p, cert.body + cert.size, tbs) || tbs.tag != 0x30) return {};
  p = tbs.body;
  end = tbs.body + tbs.size;
  for (Tlv field; p < end && next_tlv(p, end, field);) {
    if (field.tag != 0xa3) continue;
    const uint8_t* q = field.body;
    Tlv list;
    if (!next_tlv(q, field.body + field.size, list) || list.tag != 0x30) return {};
    q = list.body;
    const uint8_t* list_end = list.body + list.size;
    // Extension ::= SEQUENCE { extnID OID, critical BOOLEAN OPTIONAL, extnValue OCTET STRING }
    for (Tlv ext; q < list_end && next_tlv(q, list_end, ext);) {
      const uint8_t* r = ext.body;
      const uint8_t* ext_end = ext.body + ext.size;
      Tlv oid, item;
      if (!next_tlv(r, ext_end, oid) || oid.tag != 0x06 || oid.size != sizeof kSanOid ||
          std::memcmp(oid.body, kSanOid, sizeof kSanOid) != 0)
        continue;
      while (r < ext_end && next_tlv(r, ext_end, item)) {
        if (item.tag == 0x04) return uri_in_san(item);
      }
      return {};
    }
    return {};
  }
  return {};
}

std::string check_key_pair(const Bytes& certificate, const Bytes& private_key) {
  UA_SecurityPolicy policy;
  std::memset(&policy, 0, sizeof policy);
  if (UA_SecurityPolicy_Basic256Sha256(&policy, view(certificate), view(private_key),
                                       &kSilentLogger) != UA_STATUSCODE_GOOD)
    return "the certificate or private key does not load";
  // The policy's own certificate as the peer's: the key signs, the
  // certificate's public key verifies.
  void* channel = nullptr;
  std::string problem;
  const UA_ByteString own = policy.localCertificate;
  if (policy.channelModule.newContext(&policy, &own, &channel) != UA_STATUSCODE_GOOD) {
    problem = "the certificate does not load";
  } else {
    const UA_SecurityPolicySignatureAlgorithm& sig =
        policy.asymmetricModule.cryptoModule.signatureAlgorithm;
    char text[] = "quorlin key pair check";
    const UA_ByteString message{sizeof text - 1, reinterpret_cast<UA_Byte*>(text)};
    UA_ByteString signature;
    UA_ByteString_init(&signature);
    if (UA_ByteString_allocBuffer(&signature, sig.getLocalSignatureSize(channel)) !=
            UA_STATUSCODE_GOOD ||
        sig.sign(channel, &message, &signature) != UA_STATUSCODE_GOOD ||
        sig.verify(channel, &message, &signature) != UA_STATUSCODE_GOOD)
      problem = "the private key does not belong to the certificate";
    UA_ByteString_clear(&signature);
    policy.channelModule.deleteContext(channel);
  }
  policy.clear(&policy);
  return problem;
}

std::string certificate_thumbprint(const Bytes& certificate, const Bytes& private_key) {
  UA_SecurityPolicy policy;
  std::memset(&policy, 0, sizeof policy);
  if (UA_SecurityPolicy_Basic256Sha256(&policy, view(certificate), view(private_key),
                                       &kSilentLogger) != UA_STATUSCODE_GOOD)
    return {};
  UA_ByteString digest;
  UA_ByteString_init(&digest);
  std::string hex;
  const UA_ByteString cert = view(certificate);
  if (UA_ByteString_allocBuffer(&digest, 20) == UA_STATUSCODE_GOOD &&
      policy.asymmetricModule.makeCertificateThumbprint(&policy, &cert, &digest) ==
          UA_STATUSCODE_GOOD) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < digest.length; ++i) {
      if (i > 0) hex.push_back(':');
      hex.push_back(kHex[digest.data[i] >> 4]);
      hex.push_back(kHex[digest.data[i] & 0xf]);
    }
  }
  UA_ByteString_clear(&digest);
  policy.clear(&policy);
  return hex;
}

std::string create_certificate(const std::string& uri, uint16_t days, Bytes& certificate,
                               Bytes& private_key) {
  if (uri.empty() || uri.find_first_of(",=+\\\"<>;") != std::string::npos)
    return "the URI must not be empty nor hold any of , = + \\ \" < > ;";
  char host[256] = "localhost";
  if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
  host[sizeof host - 1] = '\0';
  const std::string common_name = "CN=" + uri;
  const std::string san_uri = "URI:" + uri;
  const std::string san_host = std::string("DNS:") + host;
  UA_String subject[] = {UA_STRING(const_cast<char*>("O=Quorlin")),
                         UA_STRING(const_cast<char*>(common_name.c_str()))};
  UA_String alt_names[] = {UA_STRING(const_cast<char*>(san_uri.c_str())),
                           UA_STRING(const_cast<char*>(san_host.c_str()))};
  UA_UInt16 key_bits = 2048;
  UA_KeyValueMap params = {0, nullptr};
  UA_StatusCode st = UA_KeyValueMap_setScalar(
      &params, UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits")), &key_bits,
      &UA_TYPES[UA_TYPES_UINT16]);
  if (st == UA_STATUSCODE_GOOD)
    st = UA_KeyValueMap_setScalar(&params,
                                  UA_QUALIFIEDNAME(0, const_cast<char*>("expires-in-days")),
                                  &days, &UA_TYPES[UA_TYPES_UINT16]);
  UA_ByteString key, cert;
  UA_ByteString_init(&key);
  UA_ByteString_init(&cert);
  if (st == UA_STATUSCODE_GOOD)
    st = UA_CreateCertificate(&kSilentLogger, subject, 2, alt_names, 2, UA_CERTIFICATEFORMAT_DER,
                              &params, &key, &cert);
  UA_KeyValueMap_clear(&params);
  if (st == UA_STATUSCODE_GOOD) {
    certificate.assign(cert.data, cert.data + cert.length);
    private_key.assign(key.data, key.data + key.length);
  }
  UA_ByteString_memZero(&key);
  UA_ByteString_clear(&key);
  UA_ByteString_clear(&cert);
  if (st != UA_STATUSCODE_GOOD) return std::string("certificate creation failed: ") +
                                       UA_StatusCode_name(st);
  return {};
}

void wipe(Bytes& bytes) {
  volatile uint8_t* p = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
  bytes.clear();
}

void wipe(std::string& text) {
  volatile char* p = text.empty() ? nullptr : &text[0];
  for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
}
