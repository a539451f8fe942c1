#include "transport/TransportBase.h"

size_t TransportBase::writeParts(const ConstBytes* parts, size_t count) {
    ConstBytes all = vek::io::joinParts(parts, count);
    return write(all.data, all.size);
}
