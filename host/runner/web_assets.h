#pragma once

// The live view's page files (host/runner/web/), compiled into qrn-host so
// that the page needs no network and no build step of its own.
#include <cstddef>
#include <string>

struct WebAsset {
  const char* path;  // "/index.html"
  const char* content_type;
  const unsigned char* data;
  std::size_t size;
};

// The file served at `path`, or nullptr.
const WebAsset* find_web_asset(const std::string& path);
