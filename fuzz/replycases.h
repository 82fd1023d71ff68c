#pragma once

#include "fuzzedspectrometer.h"

#include <vector>

// Operations that answer at once: status, trigger mode, the spectrum reads
// and the gain. fuzz_replies runs them.
const std::vector<ReplyCase>& quickReplyCases();

// Operations that wait 100 ms on purpose: initialization (before its first
// request) and the dark spectrum (before each status poll). fuzz_slow_replies
// runs them, apart, so that they do not slow the quick ones down.
const std::vector<ReplyCase>& slowReplyCases();
