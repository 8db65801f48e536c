#include "certificates.h"
#include "commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

constexpr const char* kName = "quorlin cert";
constexpr const char* kCertFile = "quorlin-cert.der";
constexpr const char* kKeyFile = "quorlin-key.der";

struct CertOptions {
  std::string out;
  std::string uri = "urn:quorlin:client";
  unsigned long days = 365;
};

// Writes a new file (never over an existing one) with the given permissions.
std::string write_new_file(const std::string& path, const Bytes& bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return std::strerror(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string problem = std::strerror(errno);
      close(fd);
      unlink(path.c_str());
      return problem;
    }
    done += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0) return std::strerror(errno);
  return {};
}

int fail(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kName, text.c_str());
  return 1;
}

int run_cert(const CertOptions& o) {
  if (mkdir(o.out.c_str(), 0755) != 0 && errno != EEXIST)
    return fail("cannot create " + o.out + ": " + std::strerror(errno));
  const std::string cert_path = o.out + "/" + kCertFile;
  const std::string key_path = o.out + "/" + kKeyFile;
  for (const std::string& path : {cert_path, key_path}) {
    if (access(path.c_str(), F_OK) == 0)
      return fail(path + " exists; remove it first or choose another --out");
  }
  Bytes cert, key;
  const std::string problem =
      create_certificate(o.uri, static_cast<uint16_t>(o.days), cert, key);
  if (!problem.empty()) return fail(problem);
  std::string written = write_new_file(key_path, key, 0600);
  if (written.empty()) {
    written = write_new_file(cert_path, cert, 0644);
    if (!written.empty()) unlink(key_path.c_str());
  }
  const std::string thumbprint = certificate_thumbprint(cert, key);
  wipe(key);
  if (!written.empty()) return fail("cannot write into " + o.out + ": " + written);
  const std::time_t until = std::time(nullptr) + static_cast<std::time_t>(o.days) * 86400;
  char date[16] = "";
  std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&until));
  std::printf("certificate      %s\n"
              "private key      %s (readable by its owner only)\n"
              "application URI  %s\n"
              "thumbprint       %s (SHA-1)\n"
              "valid until      %s (%lu days)\n",
              cert_path.c_str(), key_path.c_str(), o.uri.c_str(), thumbprint.c_str(), date,
              o.days);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

CommandRun define_cert(CLI::App& app) {
  auto o = std::make_shared<CertOptions>();
  app.add_option("--out", o->out, "folder for quorlin-cert.der and quorlin-key.der (created)")
      ->type_name("DIR")
      ->required();
  app.add_option("--uri", o->uri,
                 "the application URI the certificate names (default urn:quorlin:client)")
      ->type_name("URN");
  cli::add_number(app, "--days", o->days, 1, 7300, "1 to 7300", "days of validity (default 365)");
  return [o] {
    if (o->out.empty()) throw cli::UsageError("--out needs a folder");
    return run_cert(*o);
  };
}
