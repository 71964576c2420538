// How one check was decided, as everything after the decision reads it.
#pragma once

#include "answer.h"

struct Verdict {
    bool granted = false;
    bool cached = false;      // answered from the decision cache, within its lifetime
    bool backed_off = false;  // not asked: the endpoint is not answering
    bool stale = false;       // answered by a kept decision past its lifetime: the endpoint gave none
    Answer answer;            // the exchange, if one was attempted
};
