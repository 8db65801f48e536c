#include "commands.h"
#include "point_table.h"

#include <cstdio>

// quorlin points: one line per point, "index\toffset\twidth\tnode id", in read
// order with the index counted from 1. Node ids are written as their UTF-8 bytes.
CommandRun define_points(CLI::App&) {
  return [] {
    for (std::size_t i = 0; i < kQuorlinPointCount; ++i) {
      const QuorlinPoint& p = quorlin_points[i];
      std::printf("%zu\t%u\t%u\t%s\n", i + 1, static_cast<unsigned>(p.offset),
                  static_cast<unsigned>(p.width), p.name);
    }
    // A full disk or closed pipe must not look like success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::perror("quorlin points: writing standard output");
      return 1;
    }
    return 0;
  };
}
