#include "security_options.h"

#include "certificates.h"

#include <json/value.h>

#include <algorithm>
#include <utility>

namespace cli {
namespace {

// Settings keys and the options that give them.
constexpr std::pair<const char*, const char*> kClientOptions[] = {
    {"security_mode", "--security-mode"},     {"security_policy", "--security-policy"},
    {"certificate", "--certificate"},         {"private_key", "--private-key"},
    {"trusted_servers", "--trusted-servers"}, {"trust_any_server", "--trust-any-server"},
    {"user", "--user"},                       {"password", "--password-file"},
    {"allow_password_in_clear", "--allow-password-in-clear"},
};

// Adds the NAME:PASSWORD lines of a file readable by its owner only.
void read_user_file(const std::string& path, std::vector<std::pair<std::string, std::string>>& users) {
  std::string text;
  const std::string problem = read_secret_file(path, text);
  if (!problem.empty()) {
    wipe(text);
    throw UsageError("--user-file: '" + path + "' " +
                     (problem.compare(0, 3, "is ") == 0 ? problem : "cannot be read: " + problem));
  }
  std::size_t line = 0, added = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    ++line;
    const std::size_t colon = text.find(':', start);
    if (stop > start) {
      if (colon == std::string::npos || colon == start || colon >= stop) {
        wipe(text);
        throw UsageError("--user-file: line " + std::to_string(line) + " of '" + path +
                         "' is not NAME:PASSWORD");
      }
      users.emplace_back(text.substr(start, colon - start), text.substr(colon + 1, stop - colon - 1));
      ++added;
    }
    start = end + 1;
  }
  wipe(text);
  if (added == 0) throw UsageError("--user-file: '" + path + "' holds no NAME:PASSWORD line");
}

// A settings problem ("opcua.key: text") in the options' words.
std::string as_option_problem(const std::string& problem) {
  for (const auto& [key, option] : kClientOptions) {
    const std::string prefix = std::string("opcua.") + key + ":";
    if (problem.compare(0, prefix.size(), prefix) == 0)
      return option + problem.substr(prefix.size() - 1);
  }
  return problem;
}

}  // namespace

void PlantSecurityOptions::add_to(CLI::App& app) {
  app.add_option("--certificate", security.certificate,
                 "the server's certificate file, DER or PEM (quorlin cert makes one)")
      ->type_name("FILE");
  app.add_option("--private-key", security.private_key, "its private key file, DER or PEM")
      ->type_name("FILE");
  app.add_option("--policy", security.policies,
                 "a security policy to offer, repeatable: None (the unsecured endpoint), "
                 "Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss, Basic256, "
                 "Basic128Rsa15 (default: None only)")
      ->type_name("POLICY")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--mode", modes,
                 "mode of the secure policies' endpoints, repeatable: Sign, SignAndEncrypt "
                 "(default: both)")
      ->type_name("MODE")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--user-file", user_file,
                 "users the server accepts, one NAME:PASSWORD per line, in a file readable by "
                 "its owner only (chmod 600)")
      ->type_name("FILE");
  app.add_option("--user", users,
                 "a user name and password the server accepts, repeatable; any local user "
                 "sees it in the process list: prefer --user-file")
      ->type_name("NAME:PASSWORD")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_flag("--no-anonymous", no_anonymous, "refuse anonymous log-ins");
  app.add_flag("--password-in-clear", security.password_in_clear,
               "take passwords unencrypted: the None endpoint's user token policy has no "
               "security policy, the Sign endpoints' names None (for testing clients)");
  app.add_option("--trusted-clients", security.trusted_clients,
                 "folder of the client certificates the server accepts (default: any)")
      ->type_name("DIR");
}

void PlantSecurityOptions::finish() {
  bool secure = false;
  for (const std::string& name : security.policies) {
    const SecurityPolicyInfo* p = find_security_policy(name);
    if (p == nullptr)
      throw UsageError("--policy takes one of " + security_policy_names() + ", not '" + name + "'");
    secure = secure || p->make != nullptr;
  }
  if (!modes.empty()) {
    security.sign = security.sign_and_encrypt = false;
    for (const std::string& mode : modes) {
      if (mode == "Sign") security.sign = true;
      else if (mode == "SignAndEncrypt") security.sign_and_encrypt = true;
      else throw UsageError("--mode takes Sign or SignAndEncrypt, not '" + mode + "'");
    }
  }
  for (const std::string& user : users) {
    const std::size_t colon = user.find(':');
    if (colon == std::string::npos || colon == 0)
      throw UsageError("--user takes NAME:PASSWORD");
    security.users.emplace_back(user.substr(0, colon), user.substr(colon + 1));
  }
  if (!user_file.empty()) read_user_file(user_file, security.users);
  security.anonymous = !no_anonymous;
  if (no_anonymous && security.users.empty())
    throw UsageError("--no-anonymous needs at least one --user");
  const bool identity = !security.certificate.empty() || !security.private_key.empty();
  if (secure && (security.certificate.empty() || security.private_key.empty()))
    throw UsageError("a secure --policy needs --certificate and --private-key");
  if (!secure && (identity || !modes.empty() || !security.trusted_clients.empty()))
    throw UsageError(
        "--certificate, --private-key, --mode and --trusted-clients need a secure --policy");
  // Users and --no-anonymous alone go with the None endpoint.
  if (security.policies.empty() && (!security.users.empty() || no_anonymous))
    security.policies.push_back("None");
}

std::string PlantSecurityOptions::describe() const {
  std::string offered;
  for (const std::string& name : security.policies) {
    const SecurityPolicyInfo* p = find_security_policy(name);
    std::string item = p->name;
    if (p->make != nullptr) {
      item += security.sign && security.sign_and_encrypt ? " (Sign, SignAndEncrypt)"
              : security.sign                            ? " (Sign)"
                                                         : " (SignAndEncrypt)";
    }
    offered += (offered.empty() ? "" : ", ") + item;
  }
  const std::size_t n = security.users.size();
  return "offers " + offered + "; anonymous " + (security.anonymous ? "allowed" : "refused") +
         ", " + std::to_string(n) + (n == 1 ? " user" : " users") + "; " +
         (security.trusted_clients.empty() ? std::string("any client certificate")
                                           : "client certificates in " + security.trusted_clients) +
         (security.password_in_clear ? "; passwords taken unencrypted" : "");
}

void ClientSecurityOptions::add_to(CLI::App& app) {
  app.add_option("--security-mode", mode, "None, Sign or SignAndEncrypt (default None)")
      ->type_name("MODE");
  app.add_option("--security-policy", policy,
                 "Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss, ... (default: "
                 "the best current one the server offers)")
      ->type_name("POLICY");
  app.add_option("--certificate", certificate, "this client's certificate file, DER or PEM")
      ->type_name("FILE");
  app.add_option("--private-key", private_key, "its private key file, DER or PEM")
      ->type_name("FILE");
  app.add_option("--trusted-servers", trusted_servers,
                 "folder of the server certificates trusted (DER or PEM files)")
      ->type_name("DIR");
  app.add_flag("--trust-any-server", trust_any_server, "accept any server's certificate");
  app.add_option("--user", user, "log in with this user name (default anonymous)")
      ->type_name("NAME");
  app.add_option("--password-file", password_file, "the user's password: this file's first line")
      ->type_name("FILE");
  app.add_flag("--allow-password-in-clear", allow_password_in_clear,
               "send the password also where neither the channel nor the server's user token "
               "policy encrypts it (refused otherwise)");
}

std::shared_ptr<const SessionSecurity> ClientSecurityOptions::load() const {
  Json::Value opcua(Json::objectValue);
  const std::pair<const char*, const std::string*> texts[] = {
      {"security_mode", &mode},         {"security_policy", &policy},
      {"certificate", &certificate},    {"private_key", &private_key},
      {"trusted_servers", &trusted_servers}, {"user", &user}};
  for (const auto& [key, value] : texts)
    if (!value->empty()) opcua[key] = *value;
  if (trust_any_server) opcua["trust_any_server"] = true;
  if (allow_password_in_clear) opcua["allow_password_in_clear"] = true;
  if (!password_file.empty()) {
    // A secret file as qrn-host takes it: regular, readable by its owner only.
    std::string password;
    const std::string problem = read_secret_file(password_file, password);
    if (!problem.empty()) {
      wipe(password);
      throw UsageError(problem.compare(0, 3, "is ") == 0
                           ? "--password-file: '" + password_file + "' " + problem
                           : "--password-file: cannot read '" + password_file + "': " + problem);
    }
    password.resize(std::min(password.find_first_of("\r\n"), password.size()));
    opcua["password"] = password;
    wipe(password);
  }
  if (opcua.empty()) return nullptr;
  Json::Value settings(Json::objectValue);
  settings["opcua"] = opcua;
  SecurityLoad load = load_session_security(settings);
  if (!load.problems.empty()) throw UsageError(as_option_problem(load.problems.front()));
  return load.security;
}

}  // namespace cli
