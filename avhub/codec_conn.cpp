// Codec server readiness and connections.
#include "codec_conn.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "globals.hpp"
#include "log.hpp"

namespace avhub {

namespace {

constexpr char kModule[] = "main.c";

constexpr useconds_t kConnectRetryUs = 200;
constexpr unsigned kCreateRetrySec = 1;

enum class Role { kEncStrm, kEncCmd, kDecStrm, kDecCmd };

struct Endpoint {
    const char* path;
    int* fd;
    Role role;
};

struct Group {
    const char* banner;
    std::array<Endpoint, 4> ends;  // connected in this order
};

const std::array<Group, 3> kGroups{{
    {"Connect Video Server \n",
     {{{"/tmp/T_EncStrm", &s32VdoEncSockFd, Role::kEncStrm},
       {"/tmp/T_EncCmd", &s32VdoEncCmdSockFd, Role::kEncCmd},
       {"/tmp/T_DecStrm", &s32VdoDecSockFd, Role::kDecStrm},
       {"/tmp/T_DecCmd", &s32VdoDecCmdSockFd, Role::kDecCmd}}}},
    {"Connect Audio Server \n",
     {{{"/tmp/ado_enc_server_socket", &s32AdoEncSockFd, Role::kEncStrm},
       {"/tmp/ado_enc_cmd_socket", &s32AdoEncCmdSockFd, Role::kEncCmd},
       {"/tmp/ado_dec_server_socket", &s32AdoDecSockFd, Role::kDecStrm},
       {"/tmp/ado_dec_cmd_socket", &s32AdoDecCmdSockFd, Role::kDecCmd}}}},
    {"Connect H239 Server \n",
     {{{"/tmp/t_EncStrm", &s32H239EncSockFd, Role::kEncStrm},
       {"/tmp/t_EncCmd", &s32H239EncCmdSockFd, Role::kEncCmd},
       {"/tmp/t_DecStrm", &s32H239DecSockFd, Role::kDecStrm},
       {"/tmp/t_DecCmd", &s32H239DecCmdSockFd, Role::kDecCmd}}}},
}};

const char* connect_error_text(Role role) {
    switch (role) {
        case Role::kEncStrm: return "11.. EncSock Connect Error !!\n";
        case Role::kEncCmd: return "EncCmdSock Connect Error !!\n";
        case Role::kDecStrm: return "DecSock Connect Error !!\n";
        case Role::kDecCmd: return "DecCmdSock Connect Error !!\n";
    }
    return "";
}

bool is_bitstream(Role role) {
    return role == Role::kEncStrm || role == Role::kDecStrm;
}

// A socket that cannot be made is reported and tried again: a descriptor of
// -1 must never reach connect, and 0 would read as "not connected".
int make_socket(const char* path) {
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd > 0) return fd;
        if (fd == 0) {
            // Descriptor 0 means "absent" to every sender: move it up.
            int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
            close(fd);
            if (moved > 0) return moved;
        }
        AVHUB_LOG("Can't create socket for %s: %s \n", path, std::strerror(errno));
        sleep(kCreateRetrySec);
    }
}

}  // namespace

int check_udp_server_active(const char* path, const char* listing) {
    // Close-on-exec like every descriptor of avhub; a listing never blocks.
    const int fd = open(listing, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        AVHUB_LOG("Can't read /proc/net/unix \n");
        return -1;
    }
    std::string text;
    std::array<char, 4096> chunk;
    for (;;) {
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk.data(), static_cast<std::size_t>(n));
    }
    close(fd);
    if (text.find(path) != std::string::npos) {
        AVHUB_SAY_TM("Server Port is Active %s\n", path);
        return 0;
    }
    AVHUB_SAY_TM("Server Port %s is not Active\n", path);
    return -2;
}

void wait_codec_servers() {
    for (const char* path : kCodecEndpoints) {
        while (check_udp_server_active(path) != 0) {
            AVHUB_LOG("%s not ready!\n", path);
            sleep(1);
        }
    }
}

void setup_main_thread_socket() {
    usleep(100);
    // Creation order: every encoder pair first, then every decoder pair.
    for (Role pair_first : {Role::kEncStrm, Role::kDecStrm}) {
        for (const Group& g : kGroups) {
            for (const Endpoint& e : g.ends) {
                if (e.role == pair_first || e.role == (pair_first == Role::kEncStrm ? Role::kEncCmd : Role::kDecCmd))
                    *e.fd = make_socket(e.path);
            }
        }
    }
    for (const Group& g : kGroups) {
        for (const Endpoint& e : g.ends) {
            if (is_bitstream(e.role)) fcntl(*e.fd, F_SETFL, fcntl(*e.fd, F_GETFL) | O_NONBLOCK);
        }
    }

    for (const Group& g : kGroups) {
        print_msg("%s", g.banner);
        for (const Endpoint& e : g.ends) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, e.path, sizeof addr.sun_path - 1);
            while (connect(*e.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
                print_msg("%s", connect_error_text(e.role));
                usleep(kConnectRetryUs);
            }
            if (e.role == Role::kDecCmd) print_msg("@@@ s32DecCmdSockFd = %d \n", *e.fd);
        }
    }
}

}  // namespace avhub
