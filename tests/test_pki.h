#pragma once

// Application certificates made at test time in a temporary folder: a
// client, the plant server, a second server nobody trusts, and the folders
// of trusted certificates that go with them.
#include "certificates.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

struct TestPki {
  std::string dir;
  std::string client_cert, client_key;
  std::string server_cert, server_key;
  std::string other_cert, other_key;
  std::string trusted_servers;    // the plant server's certificate
  std::string untrusted_servers;  // only the other server's certificate
  std::string trusted_clients;    // the client's certificate

  TestPki() {
    char pattern[] = "/tmp/qrn-pki-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    make("client", "urn:quorlin:test:client", client_cert, client_key);
    make("server", "urn:quorlin:test:plant", server_cert, server_key);
    make("other", "urn:quorlin:test:other", other_cert, other_key);
    trusted_servers = folder("trusted-servers", server_cert);
    untrusted_servers = folder("other-servers", other_cert);
    trusted_clients = folder("trusted-clients", client_cert);
  }
  ~TestPki() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  std::string path(const std::string& name) const { return dir + "/" + name; }

  void write(const std::string& file, const Bytes& bytes) const {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot write " + file);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }

 private:
  void make(const std::string& name, const std::string& uri, std::string& cert_path,
            std::string& key_path) {
    Bytes cert, key;
    const std::string problem = create_certificate(uri, 30, cert, key);
    if (!problem.empty()) throw std::runtime_error(problem);
    cert_path = path(name + "-cert.der");
    key_path = path(name + "-key.der");
    write(cert_path, cert);
    write(key_path, key);
  }

  std::string folder(const std::string& name, const std::string& cert) {
    const std::string folder_path = path(name);
    std::filesystem::create_directory(folder_path);
    std::filesystem::copy_file(cert, folder_path + "/" +
                                         std::filesystem::path(cert).filename().string());
    return folder_path;
  }
};
