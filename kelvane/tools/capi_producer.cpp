// The C++ producer of `python -m kelvane bench`'s rows "C++ producer (kelvane.hpp)": puts
// COUNT messages of SIZE bytes (the bytes 0..255 repeated, the Python producers' payload)
// into the existing queue NAME through kelvane.hpp, as a user's program would; with
// "arrays", fills a loan of SIZE bytes in place with message i's number (double a[j] = i,
// as the Python producer's loan_array) and sends it as a numpy array of SIZE / 8 doubles.
// Says "ready" once attached, starts at a line on standard input, says "done" at the end.
// kelvane/tools/_bench_capi.py builds it against the installed package's C++ API.
//
//   capi_producer NAME SIZE COUNT [arrays]
#include <kelvane.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
    const bool arrays = argc == 5 && std::string_view(argv[4]) == "arrays";
    if (argc != 4 && !arrays) {
        std::fprintf(stderr, "usage: capi_producer NAME SIZE COUNT [arrays]\n");
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
    for (unsigned long long i = 0; i < count && arrays; ++i) {
        auto loan = q->loan(size);
        if (!loan) {
            std::fprintf(stderr, "capi_producer: %s\n", loan.error().what());
            return 1;
        }
        auto items = loan->as<double>();
        std::fill(items.begin(), items.end(), static_cast<double>(i));
        if (auto sent = q->send_array<double>(*loan, {items.size()}); !sent) {
            std::fprintf(stderr, "capi_producer: %s\n", sent.error().what());
            return 1;
        }
    }
    for (unsigned long long i = 0; i < count && !arrays; ++i) {
        if (auto put = q->put(payload); !put) {
            std::fprintf(stderr, "capi_producer: %s\n", put.error().what());
            return 1;
        }
    }
    std::puts("done");
    return 0;
}
