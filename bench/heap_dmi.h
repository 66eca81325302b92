// The three DMI library entry points a read uses, served from the plain heap for the
// benchmarks: the read's cost then holds the agent's work and the exchange, and no test
// fake's bookkeeping (call logs, block maps) that would grow with every iteration.
#pragma once

#include <cstddef>

#include "dmi/dmi.h"

namespace korvo::bench {

class HeapDmi {
  public:
    HeapDmi();   // installs the entry points and the memory descriptor
    ~HeapDmi();  // puts back what was there
    HeapDmi(const HeapDmi&) = delete;
    HeapDmi& operator=(const HeapDmi&) = delete;

    // Blocks handed out and not freed yet: 0 after every read whose record was freed.
    static size_t Outstanding();

  private:
    DmiNewAttributeDataFn previousNewAttributeData_;
    DmiFreeAttributeDataFn previousFreeAttributeData_;
    DmiNewOctetStringFn previousNewOctetString_;
    DmiMemDsc previousDescriptor_;
};

}  // namespace korvo::bench
