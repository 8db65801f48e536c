#include "point_table.h"

// The rows come from tools/gen_point_table.py. constexpr makes the compiler
// reject anything that would need start-up code to initialise the table.
constexpr QuorlinPoint quorlin_points[kQuorlinPointCount] = {
#include "point_table.inc"
};

// A short row list would silently zero-fill the tail of the array.
static_assert(quorlin_points[kQuorlinPointCount - 1].name != nullptr,
              "point_table.inc has fewer rows than kQuorlinPointCount");
static_assert(quorlin_points[kQuorlinPointCount - 1].width != 0,
              "point_table.inc has fewer rows than kQuorlinPointCount");
