#include "edge_node.h"

#include "spool_publisher.h"

namespace {

mqtt::BrokerSettings broker_settings(const SparkplugConfig& sp) {
  mqtt::BrokerSettings settings;
  settings.servers = sp.servers;
  settings.client_id = "qrn-" + sp.group_id + "-" + sp.edge_node_id;
  settings.user = sp.user;
  settings.password = sp.password;
  settings.ca_file = sp.ca_file;
  settings.cert_file = sp.cert_file;
  settings.key_file = sp.key_file;
  settings.allow_password_in_clear = sp.allow_password_in_clear;
  return settings;
}

}  // namespace

EdgeNode::EdgeNode(std::string history_path, EdgeLog log)
    : history_path_(std::move(history_path)), log_(std::move(log)) {}

EdgeNode::~EdgeNode() { stop(); }

bool EdgeNode::apply(const SparkplugConfig* config, const std::vector<uint32_t>& ids,
                     std::string& error) {
  if (config == nullptr) {
    stop();
    return true;
  }
  if (running_ && *config == config_ && ids == devices_) return true;
  stop();
  auto node = std::make_unique<SpoolPublisher>(*config, log_);
  if (!node->open(history_path_, ids, error)) return false;
  node->start(broker_settings(*config));
  const SparkplugConfig& sp = *config;
  log_("sparkplug: publishing as " + sp.group_id + "/" + sp.edge_node_id + " to " +
           sp.servers.front() +
           (sp.servers.size() > 1 ? " (and " + std::to_string(sp.servers.size() - 1) + " more)" : ""),
       LogPriority::Info);
  {
    std::lock_guard<std::mutex> lock(node_mutex_);
    node_ = std::move(node);
  }
  config_ = *config;
  devices_ = ids;
  running_ = true;
  return true;
}

void EdgeNode::stop() {
  std::unique_ptr<SpoolPublisher> node;
  {
    std::lock_guard<std::mutex> lock(node_mutex_);
    node.swap(node_);
  }
  running_ = false;
  if (node) node->finish();
}

void EdgeNode::stored(uint32_t device_id, int data_id) {
  std::lock_guard<std::mutex> hold(node_mutex_);
  if (node_) node_->stored(device_id, data_id);
}

void EdgeNode::report(uint32_t device_id, const std::vector<unsigned char>& bytes) {
  std::lock_guard<std::mutex> hold(node_mutex_);
  if (node_) node_->report(device_id, bytes);
}

void EdgeNode::wake(const std::vector<CommittedRow>& rows) {
  std::lock_guard<std::mutex> hold(node_mutex_);
  if (node_) node_->committed(rows);
}

PublishStatus EdgeNode::status() const {
  PublishStatus s;
  {
    std::lock_guard<std::mutex> hold(node_mutex_);
    if (node_) s = node_->status();
  }
  s.dropped = dropped_;
  return s;
}
