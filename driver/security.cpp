#include "security.h"

#include "endpoint.h"
#include "log.h"
#include "settings_schema.h"

#include <open62541/plugin/pki_default.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace {

const char* mode_name(UA_MessageSecurityMode mode) {
  switch (mode) {
    case UA_MESSAGESECURITYMODE_SIGN: return "Sign";
    case UA_MESSAGESECURITYMODE_SIGNANDENCRYPT: return "SignAndEncrypt";
    default: return "None";
  }
}

std::string quoted(const std::string& text) { return "\"" + printable_address(text) + "\""; }

// Reads the "opcua" object into a SessionSecurity, collecting problems.
class Loader {
 public:
  Loader(const Json::Value& opcua, std::vector<std::string>& problems,
         std::vector<std::string>& notes)
      : opcua_(opcua), problems_(problems), notes_(notes) {}

  std::shared_ptr<SessionSecurity> run() {
    auto s = std::make_shared<SessionSecurity>();
    for (const std::string& name : opcua_.getMemberNames())
      if (find_setting("opcua", name) == nullptr)
        problem("opcua." + printable_address(name),
                "unknown key (known: " + setting_keys("opcua") + ")");
    const bool mode_ok = read_mode(*s);
    read_policy(*s, mode_ok);
    read_certificate_and_key(*s, mode_ok);
    read_trust(*s, mode_ok);
    read_user(*s);
    if (!problems_.empty()) return nullptr;
    return s;
  }

 private:
  void problem(const std::string& key, const std::string& text) {
    problems_.push_back(key + ": " + text);
  }

  // The text of opcua[key]; false when absent or null (a non-text value is a problem).
  bool text(const char* key, std::string& out) {
    if (!opcua_.isMember(key) || opcua_[key].isNull()) return false;
    if (!opcua_[key].isString()) {
      problem(std::string("opcua.") + key, "not a text value");
      return false;
    }
    out = opcua_[key].asString();
    return true;
  }

  // A true-or-false key into `out` when present (anything else is a problem).
  void flag(const char* key, bool& out) {
    const Json::Value& v = opcua_[key];
    if (v.isNull()) return;
    if (v.isBool()) out = v.asBool();
    else problem(std::string("opcua.") + key, "not true or false");
  }

  bool read_mode(SessionSecurity& s) {
    std::string mode;
    if (!text("security_mode", mode)) return opcua_["security_mode"].isNull();
    if (mode == "None") s.mode = UA_MESSAGESECURITYMODE_NONE;
    else if (mode == "Sign") s.mode = UA_MESSAGESECURITYMODE_SIGN;
    else if (mode == "SignAndEncrypt") s.mode = UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
    else {
      problem("opcua.security_mode", quoted(mode) + " is not None, Sign or SignAndEncrypt");
      return false;
    }
    return true;
  }

  bool secure(const SessionSecurity& s) const { return s.mode != UA_MESSAGESECURITYMODE_NONE; }

  void read_policy(SessionSecurity& s, bool mode_ok) {
    std::string name;
    if (!text("security_policy", name)) return;
    const SecurityPolicyInfo* policy = find_security_policy(name);
    if (policy == nullptr) {
      problem("opcua.security_policy",
              quoted(name) + " is not one of " + security_policy_names());
      return;
    }
    if (mode_ok && secure(s) && policy->make == nullptr) {
      problem("opcua.security_policy",
              std::string("None cannot go with security_mode ") + mode_name(s.mode));
      return;
    }
    if (mode_ok && !secure(s) && policy->make != nullptr) {
      problem("opcua.security_policy",
              std::string(policy->name) + " needs security_mode Sign or SignAndEncrypt");
      return;
    }
    s.policy = policy->make != nullptr ? policy : nullptr;
  }

  void read_certificate_and_key(SessionSecurity& s, bool mode_ok) {
    std::string cert_path, key_path;
    const bool has_cert = text("certificate", cert_path);
    const bool has_key = text("private_key", key_path);
    bool cert_ok = false, key_ok = false;
    if (has_cert) {
      Bytes raw;
      const std::string failure = read_small_file(cert_path, raw);
      if (!failure.empty()) {
        problem("opcua.certificate", "cannot read " + quoted(cert_path) + ": " + failure);
      } else {
        s.certificate = pem_to_der(raw);
        s.application_uri = certificate_uri(s.certificate);
        if (s.application_uri.empty())
          problem("opcua.certificate",
                  quoted(cert_path) + " is not a DER or PEM certificate with an application URI");
        else
          cert_ok = true;
      }
    }
    if (has_key) {
      Bytes raw;
      const std::string failure = read_small_file(key_path, raw);
      if (!failure.empty()) {
        problem("opcua.private_key", "cannot read " + quoted(key_path) + ": " + failure);
      } else {
        const std::string bad = load_private_key(raw, s.private_key);
        if (bad.empty()) key_ok = true;
        else problem("opcua.private_key", quoted(key_path) + " " + bad);
      }
      wipe(raw);
    }
    if (has_cert && !has_key) problem("opcua.private_key", "missing: the certificate needs its key");
    if (has_key && !has_cert) problem("opcua.certificate", "missing: the private key needs its certificate");
    if (cert_ok && key_ok) {
      const std::string failure = check_key_pair(s.certificate, s.private_key);
      if (!failure.empty()) problem("opcua.private_key", quoted(key_path) + ": " + failure);
    }
    if (mode_ok && secure(s) && !has_cert && !has_key)
      problem("opcua.certificate",
              std::string("required for security_mode ") + mode_name(s.mode) +
                  " (with private_key)");
  }

  void read_trust(SessionSecurity& s, bool mode_ok) {
    flag("trust_any_server", s.trust_any_server);
    std::string folder;
    if (!text("trusted_servers", folder)) {
      if (mode_ok && secure(s) && !s.trust_any_server && opcua_["trusted_servers"].isNull())
        problem("opcua.trusted_servers",
                std::string("required for security_mode ") + mode_name(s.mode) +
                    " unless trust_any_server is true");
      return;
    }
    std::vector<NamedBytes> files;
    std::string skipped;
    const std::string failure = read_folder_files(folder, files, &skipped);
    if (!failure.empty()) {
      problem("opcua.trusted_servers", "cannot read folder " + quoted(folder) + ": " + failure);
      return;
    }
    if (!skipped.empty())
      notes_.push_back("opcua.trusted_servers: folder " + quoted(folder) + ": " + skipped);
    for (NamedBytes& file : files) {
      Bytes der = pem_to_der(file.bytes);
      UA_ByteString one{der.size(), der.data()};
      UA_CertificateVerification check;
      std::memset(&check, 0, sizeof check);
      const UA_StatusCode st =
          der.empty() ? UA_STATUSCODE_BADCERTIFICATEINVALID
                      : UA_CertificateVerification_Trustlist(&check, &one, 1, nullptr, 0, nullptr, 0);
      if (check.clear) check.clear(&check);
      if (st != UA_STATUSCODE_GOOD) {
        problem("opcua.trusted_servers",
                quoted(folder + "/" + file.name) + " is not a DER or PEM certificate");
        continue;
      }
      s.trusted_servers.push_back(std::move(der));
    }
    if (files.empty() && mode_ok && secure(s) && !s.trust_any_server)
      problem("opcua.trusted_servers", "folder " + quoted(folder) + " holds no certificate");
  }

  void read_user(SessionSecurity& s) {
    std::string user, password, file;
    const bool has_user = text("user", user);
    bool has_password = text("password", password);
    if (text("password_file", file)) {
      if (has_password || !opcua_["password"].isNull()) {
        problem("opcua.password_file", "give either password or password_file, not both");
      } else {
        const std::string failure = read_secret_file(file, password);
        // The password is the file's first line.
        password.resize(std::min(password.find_first_of("\r\n"), password.size()));
        if (!failure.empty())
          problem("opcua.password_file", failure.compare(0, 3, "is ") == 0
                                             ? quoted(file) + " " + failure
                                             : "cannot read " + quoted(file) + ": " + failure);
        else if (password.empty()) problem("opcua.password_file", quoted(file) + " holds no password");
        has_password = failure.empty();
      }
    }
    if (has_user && user.empty()) problem("opcua.user", "empty");
    if (has_user && !has_password && opcua_["password"].isNull() &&
        opcua_["password_file"].isNull())
      problem("opcua.password", "missing for user " + quoted(user));
    if (has_password && !has_user && opcua_["user"].isNull())
      problem("opcua.user", "missing: a password needs a user name");
    flag("allow_password_in_clear", s.allow_password_in_clear);
    s.user = user;
    s.password = password;
    wipe(password);
  }

  const Json::Value& opcua_;
  std::vector<std::string>& problems_;
  std::vector<std::string>& notes_;
};

// Adds the policy asked for, or every current one, set up with the
// certificate and key, to a client's policy list.
UA_StatusCode add_policies(const SessionSecurity& s, const UA_Logger* logger,
                           UA_SecurityPolicy*& list, size_t& size) {
  const SecurityPolicyInfo* chosen[kSecurityPolicyCount];
  std::size_t count = 0;
  for (std::size_t i = 0; i < kSecurityPolicyCount; ++i) {
    const SecurityPolicyInfo& p = kSecurityPolicies[i];
    if (p.make != nullptr && (s.policy ? s.policy == &p : p.current)) chosen[count++] = &p;
  }
  auto* grown = static_cast<UA_SecurityPolicy*>(
      UA_realloc(list, sizeof(UA_SecurityPolicy) * (size + count)));
  if (grown == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
  list = grown;
  const UA_ByteString cert{s.certificate.size(), const_cast<UA_Byte*>(s.certificate.data())};
  const UA_ByteString key{s.private_key.size(), const_cast<UA_Byte*>(s.private_key.data())};
  for (std::size_t i = 0; i < count; ++i) {
    std::memset(&list[size], 0, sizeof(UA_SecurityPolicy));
    const UA_StatusCode st = chosen[i]->make(&list[size], cert, key, logger);
    if (st != UA_STATUSCODE_GOOD) return st;
    ++size;
  }
  return UA_STATUSCODE_GOOD;
}

UA_StatusCode copy_text(const std::string& from, UA_String* to) {
  UA_String_clear(to);
  const UA_String view{from.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(from.data()))};
  return UA_String_copy(&view, to);
}

constexpr char kNoneUri[] = "http://opcfoundation.org/UA/SecurityPolicy#None";

bool is_none(const UA_String& uri) {
  return uri.length == 0 ||
         std::string(reinterpret_cast<const char*>(uri.data), uri.length) == kNoneUri;
}

// Whether the client has the policy (as the library looks it up: an empty
// URI stands for None).
bool client_has_policy(const UA_ClientConfig& cfg, const UA_String& uri) {
  const std::string wanted = uri.length == 0 ? std::string(kNoneUri)
                                             : std::string(reinterpret_cast<const char*>(uri.data),
                                                           uri.length);
  for (std::size_t i = 0; i < cfg.securityPoliciesSize; ++i) {
    const UA_String& have = cfg.securityPolicies[i].policyUri;
    if (wanted == std::string(reinterpret_cast<const char*>(have.data), have.length)) return true;
  }
  return false;
}

constexpr char kUntrustedPasswordServer[] =
    "not logging in: the server's certificate, which would encrypt the password, is not in "
    "trusted_servers";

// Whether the client's certificate check (the trusted servers, or any
// server with trust_any_server) accepts a server certificate.
bool server_trusted(const UA_ClientConfig& cfg, const UA_ByteString& certificate) {
  const UA_CertificateVerification& check = cfg.certificateVerification;
  return certificate.length > 0 && check.verifyCertificate != nullptr &&
         check.verifyCertificate(&check, &certificate) == UA_STATUSCODE_GOOD;
}

// Picks, among the endpoints the client may select, a user-name token
// policy under which the password leaves encrypted: a SignAndEncrypt
// channel, or a token policy that names a security policy (its own, or on a
// signed channel the channel's, for an empty one). Sets it as the only one
// the client accepts. On a None channel nothing checks the server: the
// password goes only to a certificate the device trusts, and that endpoint is
// pinned, so that the connect encrypts to exactly it. Returns
// BadSecurityModeInsufficient with `why` when the server takes the password
// only unencrypted, BadCertificateUntrusted when only to an untrusted
// certificate; Good otherwise (also when it takes no user name at all, which
// the connection then reports).
UA_StatusCode choose_user_token(const SessionSecurity& s, const UA_GetEndpointsResponse& r,
                                UA_ClientConfig& cfg, std::string& why) {
  const UA_UserTokenPolicy* best = nullptr;
  const UA_EndpointDescription* best_endpoint = nullptr;
  UA_Byte best_level = 0;
  bool clear_only = false;
  bool untrusted_only = false;
  for (std::size_t i = 0; i < r.endpointsSize; ++i) {
    const UA_EndpointDescription& e = r.endpoints[i];
    if (e.securityMode != s.mode || !client_has_policy(cfg, e.securityPolicyUri)) continue;
    if (s.policy != nullptr &&
        std::string(reinterpret_cast<const char*>(e.securityPolicyUri.data),
                     e.securityPolicyUri.length) != s.policy->uri)
      continue;
    for (std::size_t j = 0; j < e.userIdentityTokensSize; ++j) {
      const UA_UserTokenPolicy& t = e.userIdentityTokens[j];
      if (t.tokenType != UA_USERTOKENTYPE_USERNAME || !client_has_policy(cfg, t.securityPolicyUri))
        continue;
      // The library encrypts the token with its own policy, else the channel's.
      const UA_String& used = t.securityPolicyUri.length > 0 ? t.securityPolicyUri
                                                             : e.securityPolicyUri;
      if (s.mode != UA_MESSAGESECURITYMODE_SIGNANDENCRYPT && is_none(used)) {
        clear_only = true;
        continue;
      }
      if (s.mode == UA_MESSAGESECURITYMODE_NONE && !server_trusted(cfg, e.serverCertificate)) {
        untrusted_only = true;
        continue;
      }
      if (best == nullptr || e.securityLevel > best_level) {
        best = &t;
        best_endpoint = &e;
        best_level = e.securityLevel;
      }
    }
  }
  if (best != nullptr) {
    UA_UserTokenPolicy_clear(&cfg.userTokenPolicy);
    UA_StatusCode st = UA_UserTokenPolicy_copy(best, &cfg.userTokenPolicy);
    if (st == UA_STATUSCODE_GOOD && s.mode == UA_MESSAGESECURITYMODE_NONE) {
      UA_EndpointDescription_clear(&cfg.endpoint);
      st = UA_EndpointDescription_copy(best_endpoint, &cfg.endpoint);
    }
    return st;
  }
  if (untrusted_only) {
    why = kUntrustedPasswordServer;
    return UA_STATUSCODE_BADCERTIFICATEUNTRUSTED;
  }
  if (clear_only) {
    why = std::string("not logging in: the server would receive the password unencrypted (a ") +
          (s.mode == UA_MESSAGESECURITYMODE_SIGN ? "Sign" : "None") +
          " channel and a user token policy without a security policy); use security_mode "
          "SignAndEncrypt, or set allow_password_in_clear to send it anyway";
    return UA_STATUSCODE_BADSECURITYMODEINSUFFICIENT;
  }
  return UA_STATUSCODE_GOOD;
}

// The connected channel's security mode and policy URI (borrowed from the
// client).
void channel_security(UA_Client* client, UA_MessageSecurityMode& mode, UA_String& policy) {
  UA_Client_getConnectionAttribute_scalar(client, UA_QUALIFIEDNAME(0, const_cast<char*>("securityMode")),
                                          &UA_TYPES[UA_TYPES_MESSAGESECURITYMODE], &mode);
  UA_Client_getConnectionAttribute_scalar(
      client, UA_QUALIFIEDNAME(0, const_cast<char*>("securityPolicyUri")),
      &UA_TYPES[UA_TYPES_STRING], &policy);
}

// Whether a user token policy fits the client's configuration, as the
// library matches them when it selects an endpoint.
bool token_fits(const UA_ClientConfig& cfg, const UA_UserTokenPolicy& t) {
  if (!client_has_policy(cfg, t.securityPolicyUri)) return false;
  if (cfg.authSecurityPolicyUri.length > 0 &&
      !UA_String_equal(&cfg.authSecurityPolicyUri, &t.securityPolicyUri))
    return false;
  UA_UserTokenPolicy none;
  UA_UserTokenPolicy_init(&none);
  if (!UA_equal(&none, &cfg.userTokenPolicy, &UA_TYPES[UA_TYPES_USERTOKENPOLICY]) &&
      !UA_equal(&cfg.userTokenPolicy, &t, &UA_TYPES[UA_TYPES_USERTOKENPOLICY]))
    return false;
  const UA_DataType* type = cfg.userIdentityToken.content.decoded.type;
  switch (t.tokenType) {
    case UA_USERTOKENTYPE_ANONYMOUS:
      return type == nullptr || type == &UA_TYPES[UA_TYPES_ANONYMOUSIDENTITYTOKEN];
    case UA_USERTOKENTYPE_USERNAME:
      return type == &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN];
    case UA_USERTOKENTYPE_CERTIFICATE:
      return type == &UA_TYPES[UA_TYPES_X509IDENTITYTOKEN];
    case UA_USERTOKENTYPE_ISSUEDTOKEN:
      return type == &UA_TYPES[UA_TYPES_ISSUEDIDENTITYTOKEN];
    default:
      return false;
  }
}

}  // namespace

UA_StatusCode endpoint_in_use(UA_Client* client, const UA_GetEndpointsResponse& r,
                              UA_EndpointDescription* endpoint, UA_UserTokenPolicy* token) {
  const UA_ClientConfig& cfg = *UA_Client_getConfig(client);
  UA_MessageSecurityMode mode = UA_MESSAGESECURITYMODE_INVALID;
  UA_String policy = UA_STRING_NULL;
  channel_security(client, mode, policy);
  const UA_String binary =
      UA_STRING(const_cast<char*>("http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary"));
  // The library's rules: the highest security level wins, the last one of
  // equal level; here only endpoints of the channel's own mode and policy.
  const UA_EndpointDescription* best = nullptr;
  const UA_UserTokenPolicy* best_token = nullptr;
  for (std::size_t i = 0; i < r.endpointsSize; ++i) {
    const UA_EndpointDescription& e = r.endpoints[i];
    if (best != nullptr && e.securityLevel < best->securityLevel) continue;
    if (e.securityMode != mode || !UA_String_equal(&e.securityPolicyUri, &policy)) continue;
    if (e.transportProfileUri.length != 0 && !UA_String_equal(&e.transportProfileUri, &binary))
      continue;
    if (cfg.applicationUri.length > 0 &&
        !UA_String_equal(&cfg.applicationUri, &e.server.applicationUri))
      continue;
    for (std::size_t j = 0; j < e.userIdentityTokensSize; ++j) {
      if (!token_fits(cfg, e.userIdentityTokens[j])) continue;
      best = &e;
      best_token = &e.userIdentityTokens[j];
      break;
    }
  }
  if (best == nullptr) return UA_STATUSCODE_BADNOTFOUND;
  UA_StatusCode st = UA_EndpointDescription_copy(best, endpoint);
  if (st == UA_STATUSCODE_GOOD) st = UA_UserTokenPolicy_copy(best_token, token);
  if (st != UA_STATUSCODE_GOOD) {
    UA_EndpointDescription_clear(endpoint);
    UA_UserTokenPolicy_clear(token);
  }
  return st;
}

bool SessionSecurity::password_needs_check() const {
  return !user.empty() && !allow_password_in_clear &&
         mode != UA_MESSAGESECURITYMODE_SIGNANDENCRYPT;
}

SessionSecurity::~SessionSecurity() {
  wipe(private_key);
  wipe(password);
}

UA_StatusCode SessionSecurity::apply(UA_ClientConfig* cfg) const {
  if (cfg == nullptr) return UA_STATUSCODE_BADINTERNALERROR;
  // Only endpoints with exactly this mode (and policy) are accepted.
  cfg->securityMode = mode;
  UA_StatusCode st = UA_STATUSCODE_GOOD;
  UA_String_clear(&cfg->securityPolicyUri);
  if (policy != nullptr) st = copy_text(policy->uri, &cfg->securityPolicyUri);
  if (st == UA_STATUSCODE_GOOD && !certificate.empty()) {
    st = copy_text(application_uri, &cfg->clientDescription.applicationUri);
    // The channel's policies, and the same ones for encrypting the user token.
    if (st == UA_STATUSCODE_GOOD)
      st = add_policies(*this, cfg->logging, cfg->securityPolicies, cfg->securityPoliciesSize);
    if (st == UA_STATUSCODE_GOOD)
      st = add_policies(*this, cfg->logging, cfg->authSecurityPolicies,
                        cfg->authSecurityPoliciesSize);
  }
  // The default verification accepts every certificate; only an explicit
  // trust_any_server keeps it.
  if (st == UA_STATUSCODE_GOOD && !trust_any_server) {
    std::vector<UA_ByteString> list;
    for (const Bytes& der : trusted_servers)
      list.push_back(UA_ByteString{der.size(), const_cast<UA_Byte*>(der.data())});
    st = UA_CertificateVerification_Trustlist(&cfg->certificateVerification, list.data(),
                                              list.size(), nullptr, 0, nullptr, 0);
  }
  if (st == UA_STATUSCODE_GOOD && !user.empty()) {
    UA_UserNameIdentityToken* token = UA_UserNameIdentityToken_new();
    if (token == nullptr) return UA_STATUSCODE_BADOUTOFMEMORY;
    st = copy_text(user, &token->userName);
    if (st == UA_STATUSCODE_GOOD) st = copy_text(password, &token->password);
    UA_ExtensionObject_clear(&cfg->userIdentityToken);
    UA_ExtensionObject_setValue(&cfg->userIdentityToken, token,
                                &UA_TYPES[UA_TYPES_USERNAMEIDENTITYTOKEN]);
  }
  return st;
}

bool SessionSecurity::session_matches(UA_Client* client, std::string& problem) const {
  UA_MessageSecurityMode got_mode = UA_MESSAGESECURITYMODE_INVALID;
  UA_String got_policy = UA_STRING_NULL;
  channel_security(client, got_mode, got_policy);
  const std::string policy_uri(reinterpret_cast<const char*>(got_policy.data), got_policy.length);
  const SecurityPolicyInfo* got = find_security_policy(policy_uri);
  const bool mode_ok = got_mode == mode;
  const bool policy_ok = policy != nullptr ? got == policy
                                           : got != nullptr && (mode == UA_MESSAGESECURITYMODE_NONE
                                                                    ? got->make == nullptr
                                                                    : got->current);
  if (mode_ok && policy_ok) return true;
  problem = std::string("the channel is ") + mode_name(got_mode) + " " +
            (got != nullptr ? got->name : printable_text(policy_uri, kPeerTextLimit)) +
            ", not " + describe();
  return false;
}

std::string SessionSecurity::describe() const {
  std::string text = mode_name(mode);
  if (policy != nullptr) text += std::string(" ") + policy->name;
  text += user.empty() ? ", anonymous" : ", user " + quoted(user);
  return text;
}

SecurityLoad load_session_security(const Json::Value& settings) noexcept {
  SecurityLoad load;
  try {
    if (settings.type() != Json::objectValue || !settings.isMember("opcua") ||
        settings["opcua"].isNull())
      return load;
    load.present = true;
    const Json::Value& opcua = settings["opcua"];
    if (!opcua.isObject()) {
      load.problems.push_back("opcua: not an object");
      return load;
    }
    load.security = Loader(opcua, load.problems, load.notes).run();
  } catch (const std::exception&) {
    load.security.reset();
    load.problems.clear();
    load.problems.emplace_back("opcua: could not be read");
  }
  return load;
}

std::string secure_connect_problem(const SessionSecurity& s, UA_StatusCode status) {
  std::string text = UA_StatusCode_name(status);
  const char* hint = nullptr;
  switch (status) {
    case UA_STATUSCODE_BADIDENTITYTOKENREJECTED:
      hint = "the server offers no endpoint with this security mode, policy and log-in";
      break;
    case UA_STATUSCODE_BADUSERACCESSDENIED:
    case UA_STATUSCODE_BADIDENTITYTOKENINVALID:
      hint = s.user.empty() ? "the server refused an anonymous log-in"
                            : "the server refused the user name or password";
      break;
    case UA_STATUSCODE_BADCERTIFICATEUNTRUSTED:
    case UA_STATUSCODE_BADCERTIFICATECHAININCOMPLETE:
    case UA_STATUSCODE_BADCERTIFICATEINVALID:
    case UA_STATUSCODE_BADCERTIFICATEUSENOTALLOWED:
      hint = "the server's certificate is not in trusted_servers";
      break;
    case UA_STATUSCODE_BADCERTIFICATETIMEINVALID:
      hint = "the server's certificate has expired or is not valid yet";
      break;
    case UA_STATUSCODE_BADSECURITYCHECKSFAILED:
      hint = "the server refused the secure channel; is this certificate trusted by the server?";
      break;
    default:
      break;
  }
  if (hint != nullptr) text += std::string(": ") + hint;
  return text;
}

UA_StatusCode connect_secure(ClientSession& session, const std::string& url,
                             const SessionSecurity* security, std::string* problem,
                             bool endpoint_pinned) {
  if (security == nullptr) return session.connect(url);
  const UA_StatusCode applied = security->apply(session.config());
  if (applied != UA_STATUSCODE_GOOD) {
    if (problem) *problem = std::string("setting up the client failed: ") +
                            UA_StatusCode_name(applied);
    return applied;
  }
  // A pinned endpoint carries the token policy an earlier check chose; on a
  // None channel its certificate is checked again, as nothing else checks it.
  if (security->password_needs_check() && endpoint_pinned &&
      security->mode == UA_MESSAGESECURITYMODE_NONE) {
    UA_ClientConfig& cfg = *session.config();
    if (!server_trusted(cfg, cfg.endpoint.serverCertificate)) {
      if (problem) *problem = kUntrustedPasswordServer;
      return UA_STATUSCODE_BADCERTIFICATEUNTRUSTED;
    }
  }
  if (security->password_needs_check() && !endpoint_pinned) {
    UA_GetEndpointsResponse endpoints;
    UA_GetEndpointsResponse_init(&endpoints);
    UA_StatusCode st = session.get_endpoints(url, &endpoints);
    std::string why;
    if (st == UA_STATUSCODE_GOOD)
      st = choose_user_token(*security, endpoints, *session.config(), why);
    else
      why = std::string("asking for its endpoints failed: ") + UA_StatusCode_name(st);
    UA_GetEndpointsResponse_clear(&endpoints);
    if (st != UA_STATUSCODE_GOOD) {
      if (problem) *problem = why;
      return st;
    }
  }
  const UA_StatusCode st = session.connect(url);
  if (st != UA_STATUSCODE_GOOD) {
    if (problem) *problem = secure_connect_problem(*security, st);
    return st;
  }
  std::string mismatch;
  if (!security->session_matches(session.client(), mismatch)) {
    if (problem) *problem = mismatch;
    return UA_STATUSCODE_BADSECURITYMODEREJECTED;
  }
  return UA_STATUSCODE_GOOD;
}

bool RoundSecurity::connect(ClientSession& session, const std::string& url,
                            UA_StatusCode* status, std::string* line,
                            bool endpoint_pinned) const {
  UA_StatusCode ignored;
  UA_StatusCode& st = status ? *status : ignored;
  if (!security_) return (st = session.connect(url)) == UA_STATUSCODE_GOOD;
  std::string problem;
  st = connect_secure(session, url, security_.get(), &problem, endpoint_pinned);
  if (st == UA_STATUSCODE_GOOD) return true;
  if (st == UA_STATUSCODE_BADSHUTDOWN) return false;
  std::string text = "Quorlin::do_sample device " + std::to_string(device_id_) +
                     ": no secure session with " + url + " (" + security_->describe() + "): " +
                     problem;
  if (line) *line = std::move(text);
  else log_line(text, LogPriority::Warning);
  return false;
}

void DeviceSecurity::apply(SecurityLoad load, uint32_t device_id) noexcept {
  try {
    const std::string prefix = "InitSetting " + std::to_string(device_id) + " ";
    for (const std::string& p : load.problems)
      log_line(prefix + p + "; the device reads nothing until this is corrected",
               LogPriority::Warning);
    for (const std::string& n : load.notes) log_line(prefix + n, LogPriority::Warning);
    const bool trusts_any = load.security && load.security->trust_any_server;
    const bool in_clear = load.security && load.security->allow_password_in_clear &&
                          !load.security->user.empty();
    const std::string user = in_clear ? load.security->user : std::string();
    std::lock_guard<std::mutex> lock(mutex_);
    device_id_ = device_id;
    held_ = load.present && !load.security;
    security_ = std::move(load.security);
    if (trusts_any && !said_trust_any_)
      log_line(prefix + "opcua.trust_any_server is true: the device accepts any server's "
               "certificate",
               LogPriority::Warning);
    said_trust_any_ = said_trust_any_ || trusts_any;
    if (in_clear && !said_clear_)
      log_line(prefix + "opcua.allow_password_in_clear is true: the password of user " +
               quoted(user) + " may go over the network unencrypted",
               LogPriority::Warning);
    said_clear_ = said_clear_ || in_clear;
  } catch (const std::exception&) {
    // Out of memory: nothing half-applied is used.
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
    security_.reset();
    try {
      log_line("InitSetting " + std::to_string(device_id) +
               " opcua: could not be read; the device reads nothing until this is corrected",
               LogPriority::Error);
    } catch (const std::exception&) {
    }
  }
}

RoundSecurity DeviceSecurity::for_round() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return RoundSecurity(device_id_, held_, security_);
}
