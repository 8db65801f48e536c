// The device settings' "opcua" object: every problem one line naming the key
// and the device, nothing half-applied, no password in any output.
#include "certificates.h"
#include "security.h"
#include "test_pki.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using testing::HasSubstr;

constexpr char kPassword[] = "chiller-Pw-9931";
constexpr char kHeld[] = "; the device reads nothing until this is corrected";

Lines split_lines(const std::string& out) {
  Lines lines;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(out.substr(start, end - start));
  return lines;
}

class SecuritySettings : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki();
    pki_->write(pki_->path("garbage.der"), Bytes(300, 0x30));
    std::filesystem::create_directory(pki_->path("empty"));
    std::filesystem::create_directory(pki_->path("mixed"));
    std::filesystem::copy_file(pki_->server_cert, pki_->path("mixed/plant.der"));
    pki_->write(pki_->path("mixed/notes.txt"), Bytes{'h', 'i', '\n'});
    std::filesystem::create_directory(pki_->path("clean"));
    std::filesystem::copy_file(pki_->server_cert, pki_->path("clean/plant.der"));
    pki_->write(pki_->path("clean/.hidden"), Bytes{'x'});
    // The client's certificate and key as PEM.
    Bytes cert, key;
    read_small_file(pki_->client_cert, cert);
    read_small_file(pki_->client_key, key);
    pki_->write(pki_->path("client-cert.pem"), pem("CERTIFICATE", cert));
    pki_->write(pki_->path("client-key.pem"), pem("RSA PRIVATE KEY", key));
    // Password files: the owner's alone, and one others may read.
    const std::string pw = std::string(kPassword) + "\nsecond line\n";
    pki_->write(pki_->path("password"), Bytes(pw.begin(), pw.end()));
    std::filesystem::permissions(pki_->path("password"), std::filesystem::perms::owner_read);
    pki_->write(pki_->path("shared-password"), Bytes(pw.begin(), pw.end()));
    std::filesystem::permissions(pki_->path("shared-password"),
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::others_read);
    // A trusted folder over its bounds: a file too large, and too many files.
    std::filesystem::create_directory(pki_->path("crowded"));
    pki_->write(pki_->path("crowded/big.der"), Bytes(kMaxFolderFileBytes + 1, 0x30));
    for (std::size_t i = 0; i < kMaxFolderFiles + 5; ++i)
      std::filesystem::copy_file(pki_->server_cert,
                                 pki_->path("crowded/plant-" + std::to_string(1000 + i) + ".der"));
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  static Bytes pem(const std::string& label, const Bytes& der) {
    UA_ByteString in{der.size(), const_cast<UA_Byte*>(der.data())};
    UA_String base64 = UA_STRING_NULL;
    EXPECT_EQ(UA_ByteString_toBase64(&in, &base64), UA_STATUSCODE_GOOD);
    std::string text = "-----BEGIN " + label + "-----\n";
    for (std::size_t i = 0; i < base64.length; i += 64)
      text.append(reinterpret_cast<const char*>(base64.data) + i,
                  std::min<std::size_t>(64, base64.length - i))
          .push_back('\n');
    text += "-----END " + label + "-----\n";
    UA_String_clear(&base64);
    return Bytes(text.begin(), text.end());
  }

  // The settings text with {CERT}, {KEY}, {TRUSTED}, {PKI} and {PW} filled in.
  static Json::Value settings(std::string text) {
    const std::pair<std::string, std::string> fills[] = {
        {"{CERT}", pki_->client_cert}, {"{KEY}", pki_->client_key},
        {"{TRUSTED}", pki_->trusted_servers}, {"{PKI}", pki_->dir}, {"{PW}", kPassword}};
    for (const auto& fill : fills)
      for (std::size_t at; (at = text.find(fill.first)) != std::string::npos;)
        text.replace(at, fill.first.size(), fill.second);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors))
        << text << ": " << errors;
    return root;
  }

  // Configures a device from the settings; returns its lines.
  static Lines configure(DeviceSecurity& device, const std::string& text, uint32_t id = 9) {
    const Json::Value tree = settings(text);
    testing::internal::CaptureStdout();
    device.configure(tree, id);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find(kPassword), std::string::npos) << out;
    return split_lines(out);
  }

  static TestPki* pki_;
};

TestPki* SecuritySettings::pki_ = nullptr;

// A secure device that is complete but for what a case changes.
const char kSecure[] =
    R"("security_mode": "SignAndEncrypt", "certificate": "{CERT}", "private_key": "{KEY}", )"
    R"("trusted_servers": "{TRUSTED}")";

struct ErrorCase {
  const char* name;
  std::string opcua;  // the "opcua" value; members alone are put in braces
  Lines problems;     // each "key: text", said after "InitSetting 9 "
};

TEST_F(SecuritySettings, each_problem_is_one_line_naming_the_key_and_holds_the_device) {
  const std::string secure = kSecure;
  const std::string pki = pki_->dir;
  const std::vector<ErrorCase> cases = {
      {"not an object", R"("x")", {"opcua: not an object"}},
      {"an array", R"([{"security_mode": "Sign"}])", {"opcua: not an object"}},
      {"unknown key", R"("pasword": "{PW}", "user": "qrn")",
       {"opcua.pasword: unknown key (known: security_mode, security_policy, certificate, "
        "private_key, trusted_servers, trust_any_server, user, password, password_file, "
        "allow_password_in_clear)",
        "opcua.password: missing for user \"qrn\""}},
      {"unknown mode", R"("security_mode": "Encrypt")",
       {"opcua.security_mode: \"Encrypt\" is not None, Sign or SignAndEncrypt"}},
      {"mode not text", R"("security_mode": 3)", {"opcua.security_mode: not a text value"}},
      {"unknown policy", secure + R"(, "security_policy": "Basic512")",
       {"opcua.security_policy: \"Basic512\" is not one of None, Basic128Rsa15, Basic256, "
        "Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss"}},
      {"policy without security", R"("security_policy": "Aes256_Sha256_RsaPss")",
       {"opcua.security_policy: Aes256_Sha256_RsaPss needs security_mode Sign or "
        "SignAndEncrypt"}},
      {"None policy with signing", secure + R"(, "security_policy": "None")",
       {"opcua.security_policy: None cannot go with security_mode SignAndEncrypt"}},
      {"security without certificate",
       R"("security_mode": "Sign", "trusted_servers": "{TRUSTED}")",
       {"opcua.certificate: required for security_mode Sign (with private_key)"}},
      {"unreadable certificate",
       R"("security_mode": "Sign", "certificate": "{PKI}/nowhere.der", "private_key": "{KEY}",)"
       R"( "trusted_servers": "{TRUSTED}")",
       {"opcua.certificate: cannot read \"" + pki + "/nowhere.der\": No such file or directory"}},
      {"certificate is a folder",
       R"("security_mode": "Sign", "certificate": "{PKI}", "private_key": "{KEY}",)"
       R"( "trusted_servers": "{TRUSTED}")",
       {"opcua.certificate: cannot read \"" + pki + "\": is a folder, not a file"}},
      {"certificate is no certificate",
       R"("security_mode": "Sign", "certificate": "{PKI}/garbage.der", "private_key": "{KEY}",)"
       R"( "trusted_servers": "{TRUSTED}")",
       {"opcua.certificate: \"" + pki +
        "/garbage.der\" is not a DER or PEM certificate with an application URI"}},
      {"key is no key",
       R"("security_mode": "Sign", "certificate": "{CERT}", "private_key": "{PKI}/mixed/notes.txt",)"
       R"( "trusted_servers": "{TRUSTED}")",
       {"opcua.private_key: \"" + pki +
        "/mixed/notes.txt\" is not a DER or PEM private key, or is protected by a password"}},
      {"key of another certificate",
       R"("security_mode": "Sign", "certificate": "{CERT}", "private_key": "{PKI}/other-key.der",)"
       R"( "trusted_servers": "{TRUSTED}")",
       {"opcua.private_key: \"" + pki +
        "/other-key.der\": the private key does not belong to the certificate"}},
      {"certificate without key",
       R"("security_mode": "Sign", "certificate": "{CERT}", "trusted_servers": "{TRUSTED}")",
       {"opcua.private_key: missing: the certificate needs its key"}},
      {"no trusted servers", R"("security_mode": "Sign", "certificate": "{CERT}", "private_key": "{KEY}")",
       {"opcua.trusted_servers: required for security_mode Sign unless trust_any_server is "
        "true"}},
      {"trusted servers missing", secure + R"(, "trusted_servers": "{PKI}/none")",
       {"opcua.trusted_servers: cannot read folder \"" + pki +
        "/none\": No such file or directory"}},
      {"trusted servers empty", secure + R"(, "trusted_servers": "{PKI}/empty")",
       {"opcua.trusted_servers: folder \"" + pki + "/empty\" holds no certificate"}},
      {"trusted servers with a stray file", secure + R"(, "trusted_servers": "{PKI}/mixed")",
       {"opcua.trusted_servers: \"" + pki + "/mixed/notes.txt\" is not a DER or PEM certificate"}},
      {"trust_any_server not a flag", secure + R"(, "trust_any_server": "yes")",
       {"opcua.trust_any_server: not true or false"}},
      {"user without password", R"("user": "qrn")", {"opcua.password: missing for user \"qrn\""}},
      {"password without user", R"("password": "{PW}")",
       {"opcua.user: missing: a password needs a user name"}},
      {"password not text", R"("user": "qrn", "password": ["{PW}"])",
       {"opcua.password: not a text value"}},
      {"empty user", R"("user": "", "password": "{PW}")", {"opcua.user: empty"}},
      {"password and password_file",
       R"("user": "qrn", "password": "{PW}", "password_file": "{PKI}/password")",
       {"opcua.password_file: give either password or password_file, not both"}},
      {"password_file readable by others", R"("user": "qrn", "password_file": "{PKI}/shared-password")",
       {"opcua.password_file: \"" + pki +
        "/shared-password\" is readable by group or others (chmod 600 it)"}},
      {"password_file missing", R"("user": "qrn", "password_file": "{PKI}/none")",
       {"opcua.password_file: cannot read \"" + pki + "/none\": No such file or directory"}},
      {"allow_password_in_clear not a flag", R"("allow_password_in_clear": 1)",
       {"opcua.allow_password_in_clear: not true or false"}},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSecurity device;
    // Correct settings first: a later problem must not leave them in use.
    configure(device, "{}");
    Lines expected;
    for (const std::string& p : c.problems) expected.push_back("InitSetting 9 " + p + kHeld);
    // Where a case repeats a key of kSecure, its own value counts (the later one).
    const bool members = c.opcua.find("\": ") != std::string::npos && c.opcua[0] == '"';
    const std::string value = members ? "{" + c.opcua + "}" : c.opcua;
    EXPECT_EQ(configure(device, "{\"opcua\": " + value + "}"), expected);
    EXPECT_TRUE(device.for_round().held());
  }
}

TEST_F(SecuritySettings, valid_settings_load_their_files_once_and_release_a_held_device) {
  DeviceSecurity device;
  configure(device, R"({"opcua": {"security_mode": "Bad"}})");
  ASSERT_TRUE(device.for_round().held());

  const SecurityLoad none = load_session_security(settings(R"({"appSetting": {"b_mode": 3}})"));
  EXPECT_FALSE(none.present);
  EXPECT_TRUE(none.problems.empty());
  EXPECT_FALSE(none.security);
  EXPECT_TRUE(configure(device, R"({"opcua": null})").empty());
  EXPECT_FALSE(device.for_round().held());

  const SecurityLoad der = load_session_security(settings(
      std::string(R"({"opcua": {)") + kSecure + R"(, "user": "qrn", "password": "{PW}"}})"));
  ASSERT_TRUE(der.problems.empty()) << testing::PrintToString(der.problems);
  ASSERT_TRUE(der.security);
  EXPECT_EQ(der.security->mode, UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
  EXPECT_EQ(der.security->policy, nullptr);
  EXPECT_EQ(der.security->application_uri, "urn:quorlin:test:client");
  EXPECT_EQ(der.security->trusted_servers.size(), 1u);
  EXPECT_EQ(der.security->describe(), "SignAndEncrypt, user \"qrn\"");

  // PEM files load to the same DER; a folder's hidden files are skipped.
  const SecurityLoad pem2 = load_session_security(settings(
      R"({"opcua": {"security_mode": "Sign", "security_policy": "Aes128_Sha256_RsaOaep",)"
      R"( "certificate": "{PKI}/client-cert.pem", "private_key": "{PKI}/client-key.pem",)"
      R"( "trusted_servers": "{PKI}/clean", "trust_any_server": true}})"));
  ASSERT_TRUE(pem2.security) << testing::PrintToString(pem2.problems);
  EXPECT_EQ(pem2.security->certificate, der.security->certificate);
  EXPECT_EQ(pem2.security->private_key, der.security->private_key);
  EXPECT_EQ(pem2.security->trusted_servers.size(), 1u);
  EXPECT_STREQ(pem2.security->policy->name, "Aes128_Sha256_RsaOaep");
  EXPECT_EQ(pem2.security->describe(), "Sign Aes128_Sha256_RsaOaep, anonymous");
}

// Said, but not held for: only part of the trusted folder read, and
// passwords allowed in the clear.
TEST_F(SecuritySettings, bounded_folders_and_passwords_in_clear_are_said_once) {
  DeviceSecurity device;
  const std::string opcua =
      R"({"opcua": {"security_mode": "Sign", "certificate": "{CERT}", "private_key": "{KEY}",)"
      R"( "trusted_servers": "{PKI}/crowded", "user": "qrn", "password_file": "{PKI}/password",)"
      R"( "allow_password_in_clear": true}})";
  const Lines said = {
      "InitSetting 9 opcua.trusted_servers: folder \"" + pki_->dir +
          "/crowded\": skipped 6 of 106 files, 1 larger than 65536 bytes (first \"big.der\"), 5 "
          "beyond the first 100 files or 1048576 bytes in all (first \"plant-1100.der\")",
      "InitSetting 9 opcua.allow_password_in_clear is true: the password of user \"qrn\" may go "
      "over the network unencrypted"};
  EXPECT_EQ(configure(device, opcua), said);
  EXPECT_FALSE(device.for_round().held());
  EXPECT_EQ(configure(device, opcua), Lines{said[0]});
  const SecurityLoad load = load_session_security(settings(opcua));
  ASSERT_TRUE(load.security);
  EXPECT_EQ(load.security->password, kPassword);  // the file's first line
  EXPECT_EQ(load.security->trusted_servers.size(), kMaxFolderFiles);
}

TEST_F(SecuritySettings, trusting_any_server_is_said_once_per_device) {
  const std::string any = R"({"opcua": {"security_mode": "SignAndEncrypt", "certificate": "{CERT}",)"
                          R"( "private_key": "{KEY}", "trust_any_server": true}})";
  const Lines said = {
      "InitSetting 9 opcua.trust_any_server is true: the device accepts any server's "
      "certificate"};
  DeviceSecurity first, second;
  EXPECT_EQ(configure(first, any), said);
  EXPECT_FALSE(first.for_round().held());
  EXPECT_TRUE(configure(first, any).empty());
  EXPECT_TRUE(configure(first, "{}").empty());
  EXPECT_TRUE(configure(first, any).empty());
  EXPECT_EQ(configure(second, any, 10),
            Lines{"InitSetting 10 opcua.trust_any_server is true: the device accepts any "
                  "server's certificate"});
}

TEST(Certificates, truncated_or_altered_certificates_never_read_outside_their_bytes) {
  Bytes cert, key;
  ASSERT_EQ(create_certificate("urn:quorlin:test:cut", 1, cert, key), "");
  EXPECT_EQ(certificate_uri(cert), "urn:quorlin:test:cut");
  EXPECT_FALSE(certificate_thumbprint(cert, key).empty());
  EXPECT_EQ(certificate_thumbprint(cert, key).size(), 20u * 3 - 1);
  for (std::size_t n = 0; n < cert.size(); ++n) {
    const Bytes cut(cert.begin(), cert.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_EQ(certificate_uri(cut), "") << n;
  }
  // Lengths claiming more than there is, at every byte (a read beyond the
  // bytes fails under the address sanitizer).
  for (std::size_t i = 0; i < cert.size(); ++i) {
    Bytes altered = cert;
    altered[i] = 0x84;
    certificate_uri(altered);
  }
  EXPECT_NE(create_certificate("urn:a,b", 1, cert, key), "");
  EXPECT_EQ(pem_to_der(Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', ' ', 'X'}), Bytes{});
}

}  // namespace
