#include "option_table.h"

#include <iterator>

namespace {

constexpr unsigned long kMostMaxDevices = 1000000;
constexpr unsigned long kMostRounds = 999999999;
constexpr unsigned long kMostKeepDays = 36500;
constexpr unsigned long kMostKeepMb = 100000000;
static_assert(kDefaultMaxDevices == 256, "--max-devices' help and fallback say 256");

void nothing(Options&, const std::string&, unsigned long) {}

}  // namespace

const char* const kLogLevels[4] = {"error", "warn", "info", "debug"};

const OptionEntry kHostOptions[] = {
    {"-h,--help", OptionKind::Help, "", 0, 0, "", nothing, "print this help and exit"},
    {"--version", OptionKind::Version, "", 0, 0, "", nothing, "print the version and exit"},
    {"--plugin", OptionKind::Text, "PATH", 0, 0, "the module beside qrn-host, else the installed one",
     [](Options& o, const std::string& v, unsigned long) { o.plugin = v; },
     "the driver module; default: the installed one,\n" QRN_INSTALLED_PLUGIN},
    {"--config", OptionKind::Text, "FILE", 0, 0, "required (but with --check-config)",
     [](Options& o, const std::string& v, unsigned long) { o.config = v; },
     "devices, in strict JSON; required:\n"
     "{\"devices\": [{\"id\": 7, \"address\": \"10.0.0.5\",\n"
     "               \"port\": 4840, \"settings\": {...}}]}"},
    {"--rounds", OptionKind::WholeNumber, "N", 0, kMostRounds, "run until SIGINT or SIGTERM",
     [](Options& o, const std::string&, unsigned long n) { o.rounds = n; },
     "exit once every device has made N rounds, each a\n"
     "record handed over or a round that failed (then\n"
     "exit 1); 0: set the devices up, then stop;\n"
     "default: run until SIGINT or SIGTERM"},
    {"--once", OptionKind::Flag, "", 0, 0, "off",
     [](Options& o, const std::string&, unsigned long) { o.once = true; },
     "every device runs one round, then exit: 0 when each\n"
     "handed a record over, else 1 with a line per device\n"
     "that did not (a restored record does not count)"},
    {"--check-config", OptionKind::Text, "FILE", 0, 0, "off",
     [](Options& o, const std::string& v, unsigned long) { o.check_config = v; },
     "check a configuration as a reload would read it,\n"
     "then exit: 0 when usable, else 1 with the reason"},
    {"--dump-dir", OptionKind::Text, "DIR", 0, 0, "no dumps",
     [](Options& o, const std::string& v, unsigned long) { o.dump_dir = v; },
     "write each record to DIR/<device id>-<round>.bin"},
    {"--history", OptionKind::Text, "FILE", 0, 0, "no history",
     [](Options& o, const std::string& v, unsigned long) { o.history = v; },
     "keep device history in an SQLite file, held by this\n"
     "host alone; at start-up each device gets its last\n"
     "stored record back"},
    {"--max-devices", OptionKind::WholeNumber, "N", 1, kMostMaxDevices, "256",
     [](Options& o, const std::string&, unsigned long n) { o.max_devices = n; },
     "run at most N devices (default 256): a configuration\nwith more is refused"},
    {"--http", OptionKind::Listen, "ADDR:PORT", 0, 0, "no live view",
     [](Options& o, const std::string& v, unsigned long) { o.http = v; },
     "serve the live view (page and JSON API) there, e.g.\n"
     "127.0.0.1:8080; port 0 picks a free port"},
    {"--log-level", OptionKind::Level, "LEVEL", 0, 0, "warn",
     [](Options& o, const std::string& v, unsigned long) { o.log_level = v; },
     "the OPC UA library's lines from this level up:\n"
     "error, warn (default), info or debug"},
    {"--keep-days", OptionKind::WholeNumber, "N", 1, kMostKeepDays, "no limit by age",
     [](Options& o, const std::string&, unsigned long n) { o.retention.keep_days = n; },
     "delete history records older than N days by\n"
     "their saved time (at start, then every minute,\n"
     "in small batches)"},
    {"--keep-mb", OptionKind::WholeNumber, "N", 1, kMostKeepMb,
     "half of the file system, 10 % left free",
     [](Options& o, const std::string&, unsigned long n) {
       o.retention.keep_bytes = static_cast<uint64_t>(n) << 20;
     },
     "delete the oldest history records while the\n"
     "history holds more than N MiB; default: at most\n"
     "half of its file system, and never under 10 %\n"
     "of it left free"},
};

const std::size_t kHostOptionCount = std::size(kHostOptions);

std::string option_table_row(const OptionEntry& e) {
  const std::string name = e.kind == OptionKind::Help ? "--help" : e.name;
  std::string allowed = "-";
  if (e.kind == OptionKind::Text) allowed = "a non-empty text";
  if (e.kind == OptionKind::WholeNumber)
    allowed = std::to_string(e.least) + " to " + std::to_string(e.most);
  if (e.kind == OptionKind::Listen) allowed = "an address and a port, 0 to 65535";
  if (e.kind == OptionKind::Level) {
    allowed.clear();
    for (const char* level : kLogLevels) allowed += (allowed.empty() ? "" : ", ") + std::string(level);
  }
  // The help's text on one line, its runs of blanks and line breaks one blank.
  std::string help;
  for (const char* c = e.help; *c; ++c)
    if (!(*c == ' ' || *c == '\n') || (!help.empty() && help.back() != ' ')) help += *c == '\n' ? ' ' : *c;
  return "| `" + name + (*e.value ? " " + std::string(e.value) : "") + "` | " +
         (*e.fallback ? e.fallback : "-") + " | " + allowed + " | " + help + " |";
}
