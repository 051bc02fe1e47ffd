// Feeds one datagram, as if from the gateway's port 5351, to both decoders.
// Whatever the bytes, a decoder either ignores them or returns an answer
// that the datagram really holds; anything else (a crash, a read past the
// end, undefined behaviour, an answer from bytes that cannot be one) is a
// finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "client/gateway_codec.hpp"

namespace {

[[noreturn]] void finding(const char* what)
{
    std::fprintf(stderr, "gateway_answer_fuzzer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const auto natpmp = punchprobe::decode_natpmp_public_address(data, size)) {
        if ((size != 8 && size != 12) || data[0] != 0 || data[1] != 0x80) finding("NAT-PMP answer from non-answer bytes");
        if (natpmp->result != ((data[2] << 8) | data[3])) finding("NAT-PMP result misread");
        if (natpmp->external_address && (natpmp->result != 0 || size != 12 || natpmp->external_address->is_unspecified()))
            finding("NAT-PMP address without a successful answer");
        if (size == 8 && natpmp->result == 0) finding("NAT-PMP success without an address");
    }
    if (const auto pcp = punchprobe::decode_pcp_announce(data, size)) {
        if (size < 24 || size > 1100 || size % 4 != 0 || data[0] != 2 || data[1] != 0x80)
            finding("PCP answer from non-answer bytes");
        if (pcp->result != data[3]) finding("PCP result misread");
    }
    return 0;
}
