// What the discovery fuzz targets' callback was handed: every report kept,
// every other one counted (so the search's count is tested against the
// success flag), and a stop after a given number of reports.
#pragma once

#include <cstddef>
#include <vector>

#include "aLinkSpecifier.h"

struct DiscoveryReports {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;     // 0 for never
  bool afterStop = false;  // a report came after the callback asked to stop

  static bool collect(const linkSpec* spec, bool* success, void* ref) {
    auto* r = static_cast<DiscoveryReports*>(ref);
    if (r->stopAfter && r->specs.size() >= r->stopAfter) r->afterStop = true;
    r->specs.push_back(*spec);
    *success = r->specs.size() % 2 == 1;
    return !r->stopAfter || r->specs.size() < r->stopAfter;
  }

  // The count the search must have made.
  size_t counted() const { return (specs.size() + 1) / 2; }
};
