// The frames a client sends propregd, and those the daemon sends back,
// from the input as one byte stream: every frame the framer cuts out is
// decoded as a request, an answer and an event.  A decoder must refuse or
// accept without reading past the frame, and what it accepts must encode
// back to exactly the bytes it came from (one encoding per message, so
// nothing a decoder let through can mean two things).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "wire.h"

namespace {

template <class Message>
void round_trip(const uint8_t *body, size_t size, const char *what)
{
    Message m;
    std::string why;
    if (!wire::decode(body, size, &m, &why)) return;
    const std::string again = wire::encode(m);
    if (again.size() != size + 4 || again.compare(4, std::string::npos, reinterpret_cast<const char *>(body), size) != 0) {
        std::fprintf(stderr, "a %s of %zu bytes encodes back differently\n", what, size);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    wire::Framer framer(wire::kMaxRequest);
    // Two pieces: a frame split between reads is put together.
    const size_t half = size / 2;
    framer.feed(data, half);
    for (int piece = 0; piece < 2; piece++) {
        if (piece == 1) framer.feed(data + half, size - half);
        const uint8_t *body = nullptr;
        size_t n = 0;
        while (framer.next(&body, &n) == wire::Framer::Result::frame) {
            round_trip<wire::Request>(body, n, "request");
            round_trip<wire::Answer>(body, n, "answer");
            round_trip<wire::Event>(body, n, "event");
        }
    }
    return 0;
}
