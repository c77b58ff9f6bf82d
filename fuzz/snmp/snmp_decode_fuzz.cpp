// Feeds arbitrary datagrams to the decoder. The input buffer has exactly the
// datagram's size, so any read past it is caught by the address sanitizer.
#include <cstddef>
#include <cstdint>

#include "snmp/ber.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SnmpMessage msg;
    if (size > SNMP_MAX_DATAGRAM) return 0;
    SnmpDecodeMessage(&msg, data, static_cast<uint32_t>(size));
    return 0;
}
