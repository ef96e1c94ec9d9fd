// The closing summary: one table per stage (sent, arrived, matched byte for
// byte) and the verdict.
#pragma once

#include <string>
#include <vector>

#include "session.hpp"

namespace demo {

// The summary as text, ending with the verdict line.
std::string summary(const std::vector<StageResult>& results, int stages_total);

bool all_matched(const std::vector<StageResult>& results, int stages_total);

}  // namespace demo
