// Prints and sets the blending and transparency of a framebuffer region:
// reads the driver's region record, changes the fields named by options and
// writes the whole record back.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ti81xxfb.h"

namespace {

[[noreturn]] void usage(const char* prog) {
    std::printf("Usage: %1$s -i\n       %1$s [framebuffer] [-b 0|1|2|3] [-a global_alpha] [-t 0|1] [-c trans_color]\n",
                prog);
    std::printf("%s\n",
                "\n-i     Print current parameters\n\n-b     Blend type\n   0   TI81XXFB_BLENDING_NO\n"
                "   1   TI81XXFB_BLENDING_GLOBAL\n   2   TI81XXFB_BLENDING_PALETTE\n"
                "   3   TI81XXFB_BLENDING_PIXEL\n\n-t     Enable / disable transparent color");
    std::exit(1);
}

[[noreturn]] void fail(const char* check) {
    std::fprintf(stderr, "blendset: %s failed: %s\n", check, std::strerror(errno));
    std::exit(1);
}

void print_params(const ti81xxfb_region_params& p) {
    std::printf(
        "ridx = %u\npos_x = %u\npos_y = %u\ntransen = %u\nblendtype = %u\ntranstype = %u\ntranscolor = 0x%X\n"
        "bbalpha = %u\nblendalpha = 0x%X\n",
        unsigned{p.ridx}, unsigned{p.pos_x}, unsigned{p.pos_y}, unsigned{p.transen}, unsigned{p.blendtype},
        unsigned{p.transtype}, unsigned{p.transcolor}, unsigned{p.bbalpha}, unsigned{p.blendalpha});
}

// Applies one option with its value; false for anything not an option.
bool apply_option(std::string_view opt, const char* value, ti81xxfb_region_params& p) {
    if (opt == "-b") {
        p.blendtype = static_cast<__u32>(std::strtol(value, nullptr, 10));
    } else if (opt == "-a") {
        // Only the low 8 bits reach the 8-bit field (300 -> 44).
        p.blendalpha = static_cast<__u8>(std::strtoul(value, nullptr, 0));
    } else if (opt == "-c") {
        p.transcolor = static_cast<__u32>(std::strtoul(value, nullptr, 0));
    } else if (opt == "-t") {
        p.transen = std::strtol(value, nullptr, 10) != 0 ? 1 : 0;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage(argv[0]);

    const int fd = open(argv[1], O_RDWR);
    if (fd < 0) fail("open of the framebuffer device (fd < 0)");

    ti81xxfb_region_params params{};
    if (ioctl(fd, TIFB_GET_PARAMS, &params) < 0) fail("TIFB_GET_PARAMS request");

    bool write_back = true;
    for (int i = 2; i < argc; i += 2) {
        const std::string_view opt = argv[i];
        if (opt == "-i") {
            // Print what was set so far, leave the driver as it is.
            write_back = false;
            break;
        }
        if (i + 1 >= argc || !apply_option(opt, argv[i + 1], params)) {
            std::printf("Unknown argument: %s\n", argv[i]);
            close(fd);
            usage(argv[0]);
        }
    }

    if (write_back && ioctl(fd, TIFB_SET_PARAMS, &params) < 0) fail("TIFB_SET_PARAMS request");

    print_params(params);
    close(fd);
    return 0;
}
