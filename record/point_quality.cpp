#include "point_quality.h"

#include "point_table.h"
#include "report_json.h"
#include "round_report.h"

bool load_point_quality(HistoryStore& history, uint32_t device_id, PointQuality& out,
                        std::string& error, std::size_t max_reports) {
  out = PointQuality();
  out.read_at.assign(kQuorlinPointCount, std::string());
  std::size_t unresolved = kQuorlinPointCount;
  qrn_report::RoundReport report;
  std::size_t seen = 0;
  return history.each_report(
      device_id,
      [&](const unsigned char* bytes, std::size_t size) {
        if (max_reports != 0 && seen++ == max_reports) return false;
        if (!qrn_report::decode(bytes, size, report) ||
            report.statuses.size() != kQuorlinPointCount)
          return true;
        if (!out.any) {
          out.any = true;
          out.statuses = report.statuses;
        }
        if (report.outcome != 0) return true;
        const std::string stamp = report_stamp_text(report);
        for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
          if (!out.read_at[i].empty() || qrn_report::is_bad(report.statuses[i])) continue;
          out.read_at[i] = stamp;
          --unresolved;
        }
        return unresolved > 0;
      },
      error);
}
