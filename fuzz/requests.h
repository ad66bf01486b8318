#pragma once
// The requests fuzz_reply puts in flight, picked by the input's first byte (modulo the
// count); fuzz_corpus writes its seeds with the same indexes.

#include "link/frame.h"

#include <iterator>

namespace zk::fuzz {

// Every request head the program sends, one per function code.
constexpr const Head *Requests = Catalogue;
constexpr int RequestCount = int(std::size(Catalogue));

// The index of the request with this function code (the first of its heads).
constexpr int requestIndex(quint8 function)
{
    for (int i = 0; i < RequestCount; ++i)
        if (Requests[i].function == function)
            return i;
    return 0;
}

} // namespace zk::fuzz
