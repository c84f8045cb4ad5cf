// The C++ producer of `python -m kelvane bench`'s row "C++ producer (kelvane.hpp)": puts
// COUNT messages of SIZE bytes (the bytes 0..255 repeated, the Python producers' payload)
// into the existing queue NAME through kelvane.hpp, as a user's program would. Says
// "ready" once attached, starts at a line on standard input, says "done" at the end.
// kelvane/tools/_bench_capi.py builds it against the installed package's C++ API.
//
//   capi_producer NAME SIZE COUNT
#include <kelvane.hpp>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: capi_producer NAME SIZE COUNT\n");
        return 2;
    }
    const auto size = std::strtoull(argv[2], nullptr, 10);
    const auto count = std::strtoull(argv[3], nullptr, 10);
    auto q = kv::queue::attach(argv[1]);
    if (!q) {
        std::fprintf(stderr, "capi_producer: %s\n", q.error().what());
        return 1;
    }
    std::vector<std::byte> payload(size);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::byte>(i & 0xff);
    std::puts("ready");
    std::fflush(stdout);
    char go[16];
    if (std::fgets(go, sizeof go, stdin) == nullptr)
        return 1;
    for (unsigned long long i = 0; i < count; ++i) {
        if (auto put = q->put(payload); !put) {
            std::fprintf(stderr, "capi_producer: %s\n", put.error().what());
            return 1;
        }
    }
    std::puts("done");
    return 0;
}
