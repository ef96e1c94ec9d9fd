// The twelve codec server connections: readiness probe and connecting.
#pragma once

#include <array>

namespace avhub {

// Endpoint paths in the order start-up probes them.
inline constexpr std::array<const char*, 12> kCodecEndpoints{
    "/tmp/T_EncStrm",
    "/tmp/T_EncCmd",
    "/tmp/T_DecStrm",
    "/tmp/T_DecCmd",
    "/tmp/ado_enc_server_socket",
    "/tmp/ado_enc_cmd_socket",
    "/tmp/ado_dec_server_socket",
    "/tmp/ado_dec_cmd_socket",
    "/tmp/t_EncStrm",
    "/tmp/t_EncCmd",
    "/tmp/t_DecStrm",
    "/tmp/t_DecCmd",
};

// 0 when the path appears anywhere in the UNIX socket listing, -2 when it
// does not, -1 when the listing cannot be read. A plain substring test: the
// listening socket's presence is what counts.
int check_udp_server_active(const char* path, const char* listing = "/proc/net/unix");

// Probes every endpoint once a second until it is listed; no time limit.
void wait_codec_servers();

// Creates and connects the twelve sockets; returns when all are connected.
void setup_main_thread_socket();

}  // namespace avhub
