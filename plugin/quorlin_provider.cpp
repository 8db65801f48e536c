#include "quorlin_provider.h"

#include "quorlin.h"

QRNSocketDevice* QuorlinProvider::create() const { return new Quorlin(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  providers.push_back(std::make_shared<QuorlinProvider>());
  return providers;
}
