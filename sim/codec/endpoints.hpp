// The thirteen codec server endpoints and how they pair up.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace sim::codec {

enum class Kind { EncStrm, EncCmd, DecStrm, DecCmd, CtrlCmd };
enum class Group { Video, Audio, Content, Control };

struct EndpointDef {
    std::string_view name;  // short name used in records and control commands
    std::string_view path;
    Kind kind;
    Group group;
    std::string_view refuse_kind;  // name used by "refuse"; empty for bitstream endpoints
};

inline constexpr std::array<EndpointDef, 13> kEndpoints{{
    {"T_EncStrm", "/tmp/T_EncStrm", Kind::EncStrm, Group::Video, ""},
    {"T_EncCmd", "/tmp/T_EncCmd", Kind::EncCmd, Group::Video, "vdo_enc"},
    {"T_DecStrm", "/tmp/T_DecStrm", Kind::DecStrm, Group::Video, ""},
    {"T_DecCmd", "/tmp/T_DecCmd", Kind::DecCmd, Group::Video, "vdo_dec"},
    {"ado_enc_server_socket", "/tmp/ado_enc_server_socket", Kind::EncStrm, Group::Audio, ""},
    {"ado_enc_cmd_socket", "/tmp/ado_enc_cmd_socket", Kind::EncCmd, Group::Audio, "ado_enc"},
    {"ado_dec_server_socket", "/tmp/ado_dec_server_socket", Kind::DecStrm, Group::Audio, ""},
    {"ado_dec_cmd_socket", "/tmp/ado_dec_cmd_socket", Kind::DecCmd, Group::Audio, "ado_dec"},
    {"t_EncStrm", "/tmp/t_EncStrm", Kind::EncStrm, Group::Content, ""},
    {"t_EncCmd", "/tmp/t_EncCmd", Kind::EncCmd, Group::Content, "h239_enc"},
    {"t_DecStrm", "/tmp/t_DecStrm", Kind::DecStrm, Group::Content, ""},
    {"t_DecCmd", "/tmp/t_DecCmd", Kind::DecCmd, Group::Content, "h239_dec"},
    {"ado_ctrl_cmd_socket", "/tmp/ado_ctrl_cmd_socket", Kind::CtrlCmd, Group::Control, "ado_ctrl"},
}};

inline constexpr std::size_t kNoEndpoint = kEndpoints.size();

// Index by short name or full path; kNoEndpoint when unknown.
constexpr std::size_t find_endpoint(std::string_view name) {
    for (std::size_t i = 0; i < kEndpoints.size(); ++i)
        if (kEndpoints[i].name == name || kEndpoints[i].path == name) return i;
    return kNoEndpoint;
}

// The endpoint of the same group with the given kind (a command endpoint's
// bitstream partner); kNoEndpoint when the group has none.
constexpr std::size_t partner(std::size_t ep, Kind kind) {
    for (std::size_t i = 0; i < kEndpoints.size(); ++i)
        if (kEndpoints[i].group == kEndpoints[ep].group && kEndpoints[i].kind == kind) return i;
    return kNoEndpoint;
}

}  // namespace sim::codec
