-- Wireshark/tshark (4.0) dissector for the media box's two wire records:
-- PacketHeader streams (18-byte header + payload) and CodecCmd messages
-- (48 bytes), on the bridge's TCP link (ports 2004-2007) and on the codec
-- servers' UNIX sockets as boxsim --capture writes them (ports 2110-2113).
--
--   tshark -X lua_script:dissector/avbox.lua -r capture.pcapng
--   cp dissector/avbox.lua ~/.local/lib/wireshark/plugins/
-- The avbox-sim package installs it in the global Lua plugins folder, which
-- tshark and Wireshark read by themselves.
--
-- Records may be cut across TCP segments and several may share one; a wrong
-- magic or an impossible length is flagged and the stream is searched for
-- the next magic. Acknowledgements and replies are linked to the request
-- they answer on the same connection.

-- One copy registers the protocols. An installed copy and one named with
-- -X lua_script: are both read, each in its own environment, and a second
-- registration fails: the copy read second stops here, and the first (the
-- installed one) is in use.
local registered, avbox = pcall(Proto, "avbox", "Media box links")
if not registered then
    return
end

----------------------------------------------------------------------------
-- Codes. The tables below must agree with common/wire/include/wire/codes.hpp
-- (tests/dissector checks every name and value against it).

-- Requests 513-528: the same on both links.
local CODES_BOTH = {
    [513] = "REQ_VDO_ENC",
    [514] = "REQ_ADO_ENC",
    [515] = "REQ_VDO_DEC",
    [516] = "REQ_ADO_DEC",
    [517] = "REQ_VDO_CLOSE",
    [518] = "REQ_ADO_CLOSE",
    [519] = "REQ_VDO_ENC_CHANGE_BIT_RATE",
    [520] = "REQ_VDO_ENC_CHANGE_FRAME_RATE",
    [521] = "REQ_VDO_ENC_UPDATE_PIC",
    [522] = "REQ_VDO_SET_MCU_MODE",
    [523] = "REQ_VDO_SET_SECTION_NUM",
    [524] = "REQ_VDO_GET_RES",
    [525] = "REQ_VDO_GET_FR_ERR",
    [526] = "REQ_VDO_ENC_PAUSE",
    [527] = "REQ_VDO_ENC_RESUME",
    [528] = "REQ_ADO_DEC_BUF_POINT",
}

-- The bridge link from 529 on: acknowledgements (request + 16) and the
-- bridge's own pairs (acknowledgement = request + 1).
local CODES_BRIDGE = {
    [529] = "ACK_VDO_ENC",
    [530] = "ACK_ADO_ENC",
    [531] = "ACK_VDO_DEC",
    [532] = "ACK_ADO_DEC",
    [533] = "ACK_VDO_CLOSE",
    [534] = "ACK_ADO_CLOSE",
    [535] = "ACK_VDO_ENC_CHANGE_BIT_RATE",
    [536] = "ACK_VDO_ENC_CHANGE_FRAME_RATE",
    [537] = "ACK_VDO_ENC_UPDATE_PIC",
    [538] = "ACK_VDO_SET_MCU_MODE",
    [539] = "ACK_VDO_SET_SECTION_NUM",
    [540] = "ACK_VDO_GET_RES",
    [541] = "ACK_VDO_GET_FR_ERR",
    [542] = "ACK_VDO_ENC_PAUSE",
    [543] = "ACK_VDO_ENC_RESUME",
    [544] = "ACK_ADO_DEC_BUF_POINT",
    [545] = "REQ_RECV_VDO_CAPABILITY",
    [546] = "ACK_RECV_VDO_CAPABILITY",
    [547] = "REQ_RECV_CNT_CAPABILITY",
    [548] = "ACK_RECV_CNT_CAPABILITY",
    [549] = "REQ_REMOTE_CHANGE_VDO_SRC",
    [550] = "ACK_REMOTE_CHANGE_VDO_SRC",
    [551] = "REQ_CHANGE_BRISKO_VDO_MODE",
    [552] = "ACK_CHANGE_VDO_MODE",
    [557] = "REQ_VDO_DEC_CLOSE",
    [558] = "ACK_VDO_DEC_CLOSE",
    [559] = "REQ_ADO_DEC_CLOSE",
    [560] = "ACK_ADO_DEC_CLOSE",
    [561] = "REQ_START_TEST_CALL",
    [562] = "ACK_START_TEST_CALL",
    [563] = "REQ_STOP_TEST_CALL",
    [564] = "ACK_STOP_TEST_CALL",
    [565] = "REQ_SET_SID",
    [566] = "ACK_SET_SID",
    [567] = "REQ_CHANGE_KVX_VDO_MODE",
    [568] = "ACK_CHANGE_KVX_VDO_MODE",
}

-- The codec-server link from 529 on: the tools' two extra requests...
local CODES_CODEC = {
    [529] = "REQ_ADO_ENC_CHANGE_BIT_RATE",
    [530] = "REQ_ADO_CTRL_WRITE",
}
-- ...and the servers' replies, request + 18; these four have names, any
-- other reply is named after its request.
local CODEC_REPLIES = {
    [532] = "RSP_ADO_ENC",
    [534] = "RSP_ADO_DEC",
    [536] = "RSP_ADO_CLOSE",
    [548] = "RSP_ADO_CTRL_WRITE",
}
local BRIDGE_ACK_OFFSET = 16
local CODEC_REPLY_OFFSET = 18

-- Media standards (u16Type): code name and what it is.
local STANDARDS = {
    [51] = { "STD_H261", "H.261 video" },
    [52] = { "STD_H263", "H.263 video" },
    [53] = { "STD_VIDEO_53", "video, no standard named" },
    [54] = { "STD_H264", "H.264 video" },
    [1] = { "STD_G711U", "G.711 u-law" },
    [2] = { "STD_G711A", "G.711 A-law" },
    [3] = { "STD_G722", "G.722" },
    [4] = { "STD_AUDIO_4", "audio, no standard named" },
    [5] = { "STD_G7221_24K", "G.722.1, 24 kbit/s" },
    [6] = { "STD_G7221_32K", "G.722.1, 32 kbit/s" },
    [7] = { "STD_G7221C_24K", "G.722.1 Annex C, 24 kbit/s" },
    [8] = { "STD_G7221C_32K", "G.722.1 Annex C, 32 kbit/s" },
    [9] = { "STD_G7221C_48K", "G.722.1 Annex C, 48 kbit/s" },
    [10] = { "STD_PCM", "linear PCM" },
    [11] = { "STD_SILK", "SILK" },
    [12] = { "STD_G729", "G.729" },
}

local STREAM_TYPES = { [0] = "video", [1] = "audio", [2] = "content video" }

-- Ports: the bridge's four, and the ones boxsim's capture shows its UNIX
-- endpoints on (sim/core/capture.hpp).
local PORT_VBS, PORT_VCMD, PORT_ABS, PORT_ACMD = 2004, 2005, 2006, 2007
local PORT_CODEC_STREAM, PORT_CODEC_CMD, PORT_QUAD, PORT_UI = 2110, 2111, 2112, 2113

local MAGIC = "\0\85\170\255"
local ZERO_MAGIC = "\0\0\0\0"
local HEADER_SIZE, CMD_SIZE = 18, 48

----------------------------------------------------------------------------
-- Fields

local std_names = {}
for k, v in pairs(STANDARDS) do std_names[k] = v[2] end
std_names[0] = "none"

local F = {
    record = ProtoField.string("avbox.record", "Record"),
    link = ProtoField.string("avbox.link", "Link"),
    magic = ProtoField.bytes("avbox.magic", "magic"),
    -- PacketHeader
    stream_type = ProtoField.uint8("avbox.u8StreamType", "u8StreamType", base.DEC, STREAM_TYPES),
    stream_ch = ProtoField.uint8("avbox.u8StreamCh", "u8StreamCh"),
    time_stamp = ProtoField.uint32("avbox.u32TimeStamp", "u32TimeStamp"),
    packet_size = ProtoField.uint32("avbox.u32PacketSize", "u32PacketSize"),
    gob = ProtoField.uint32("avbox.u32Gob", "u32Gob", base.HEX),
    flags = ProtoField.uint8("avbox.flags", "Frame-piece flags (byte 17)", base.HEX, nil, 0x03),
    first = ProtoField.bool("avbox.flags.first", "First piece", 8, nil, 0x01),
    last = ProtoField.bool("avbox.flags.last", "Last piece", 8, nil, 0x02),
    flags14 = ProtoField.uint8("avbox.flags14", "Flags in byte 14 (as avhub builds video headers)", base.HEX, nil,
        0x03),
    payload = ProtoField.bytes("avbox.payload", "Payload"),
    -- CodecCmd
    cmd = ProtoField.uint16("avbox.u16Cmd", "u16Cmd"),
    cmd_name = ProtoField.string("avbox.cmd_name", "Command"),
    type = ProtoField.uint16("avbox.u16Type", "u16Type", base.DEC, std_names),
    type_name = ProtoField.string("avbox.std_name", "Media standard"),
    width = ProtoField.uint16("avbox.u16VdoWidth", "u16VdoWidth"),
    height = ProtoField.uint16("avbox.u16VdoHeight", "u16VdoHeight"),
    complexity = ProtoField.uint32("avbox.u32VdoEncComplexity", "u32VdoEncComplexity"),
    iframe_interval = ProtoField.uint32("avbox.u32VdoEncIFrameInterval", "u32VdoEncIFrameInterval"),
    iframe = ProtoField.uint32("avbox.u32VdoEncIFrame", "u32VdoEncIFrame"),
    imb_insert = ProtoField.uint32("avbox.u32VdoEncIMBInsert", "u32VdoEncIMBInsert"),
    imb_period = ProtoField.uint32("avbox.u32VdoIMBInsertPeriod", "u32VdoIMBInsertPeriod"),
    bit_rate = ProtoField.uint16("avbox.u16BitRate", "u16BitRate"),
    blk = ProtoField.uint16("avbox.u16ByteNumPerBlk", "u16ByteNumPerBlk"),
    fr_rate = ProtoField.uint8("avbox.u8VdoFrRate", "u8VdoFrRate"),
    agree = ProtoField.uint8("avbox.u8AgreeFlag", "u8AgreeFlag"),
    chan = ProtoField.uint8("avbox.u8ChanIdx", "u8ChanIdx"),
    mcu = ProtoField.uint8("avbox.u8McuMode", "u8McuMode"),
    sections = ProtoField.uint8("avbox.u8DisSectionNum", "u8DisSectionNum"),
    reserved = ProtoField.bytes("avbox.reserved", "reserved"),
    -- request and response
    response_in = ProtoField.framenum("avbox.response_in", "Response in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("avbox.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_time = ProtoField.relative_time("avbox.response_time", "Time from request"),
    request_cmd = ProtoField.string("avbox.request_cmd", "Answers"),
    -- text records
    text = ProtoField.string("avbox.text", "Text"),
    -- bytes that are no record
    skipped = ProtoField.bytes("avbox.skipped", "Skipped bytes (no record)"),
}
local field_list = {}
for _, v in pairs(F) do field_list[#field_list + 1] = v end
avbox.fields = field_list

local E = {
    bad_magic = ProtoExpert.new("avbox.bad_magic", "Wrong magic: searching for the next record",
        expert.group.MALFORMED, expert.severity.WARN),
    bad_length = ProtoExpert.new("avbox.bad_length", "Impossible payload length: searching for the next record",
        expert.group.MALFORMED, expert.severity.WARN),
    resync = ProtoExpert.new("avbox.resync", "Bytes skipped before the next record",
        expert.group.SEQUENCE, expert.severity.WARN),
    cut_short = ProtoExpert.new("avbox.cut_short", "Command cut short: the next record's magic follows",
        expert.group.MALFORMED, expert.severity.WARN),
    bad_stream_type = ProtoExpert.new("avbox.bad_stream_type", "Unknown stream type",
        expert.group.PROTOCOL, expert.severity.NOTE),
    unknown_cmd = ProtoExpert.new("avbox.unknown_cmd", "Code with no meaning on this link",
        expert.group.PROTOCOL, expert.severity.NOTE),
    refused = ProtoExpert.new("avbox.refused", "Refused (u8AgreeFlag 0)", expert.group.RESPONSE_CODE,
        expert.severity.NOTE),
    no_request = ProtoExpert.new("avbox.no_request", "Answer to no request seen on this connection",
        expert.group.SEQUENCE, expert.severity.NOTE),
}
avbox.experts = { E.bad_magic, E.bad_length, E.cut_short, E.resync, E.bad_stream_type, E.unknown_cmd, E.refused, E.no_request }

avbox.prefs.max_payload = Pref.uint("Largest payload length",
    1048576, "A PacketHeader declaring more payload bytes than this is taken as damage")

----------------------------------------------------------------------------
-- Request/response state, built on the first pass over the capture.

local f_tcp_stream = Field.new("tcp.stream")
-- Requests waiting for their answer, one first-in first-out queue per
-- connection, requesting side and answer code, so that an answer finds its
-- request at the head of one queue whatever else is outstanding.
-- Everything is kept in flat tables of strings and numbers: a capture holds
-- tens of thousands of records, and a small table per record would make
-- every garbage collection walk them all.
local pending = {}   -- queue key -> { first = n, last = n, keys = {}, frames = {}, times = {}, names = {} }
local answer_req = {}   -- record key of an answer -> frame of its request
local answer_cmd = {}   -- record key of an answer -> name of its request
local answer_time = {}  -- record key of an answer -> seconds from its request
local answered = {}     -- record key of a request -> frame of its answer

function avbox.init()
    pending, answer_req, answer_cmd, answer_time, answered = {}, {}, {}, {}, {}
end

-- The connection and one of its two ends, named once per dissector call.
local function conv_key(pinfo)
    local s = f_tcp_stream()
    if s then return "tcp" .. tostring(s.value) end
    local a = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local b = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    if a > b then a, b = b, a end
    return a .. "-" .. b
end

local function src_side(pinfo)
    return tostring(pinfo.src) .. ":" .. pinfo.src_port
end

local function dst_side(pinfo)
    return tostring(pinfo.dst) .. ":" .. pinfo.dst_port
end

-- A record is named by its frame and place; the same call of the same frame
-- always sees the same tvb, so the key is stable across passes.
local function record_key(pinfo, tvb, off)
    return pinfo.number .. ":" .. tvb:reported_len() .. ":" .. off
end

----------------------------------------------------------------------------
-- Code names by link.

-- Returns name, kind ("req", "ack" or nil), the request code an answer
-- belongs to.
local function name_bridge(code)
    if CODES_BOTH[code] then return CODES_BOTH[code], "req" end
    local n = CODES_BRIDGE[code]
    if not n then return nil end
    if code <= 544 then return n, "ack", code - BRIDGE_ACK_OFFSET end
    if code % 2 == 1 then return n, "req" end
    return n, "ack", code - 1
end

local function name_codec(code, to_server)
    if to_server then
        if CODES_BOTH[code] then return CODES_BOTH[code], "req" end
        if CODES_CODEC[code] then return CODES_CODEC[code], "req" end
        return nil
    end
    local req = code - CODEC_REPLY_OFFSET
    local req_name = CODES_BOTH[req] or CODES_CODEC[req]
    if not req_name then return nil end
    return CODEC_REPLIES[code] or ("reply to " .. req_name), "ack", req
end

----------------------------------------------------------------------------
-- Stream helpers

-- The info column names the first records of a frame; a frame of many
-- records (or of much damage) says so once instead of naming them all.
local INFO_RECORDS = 8

local function info(pinfo, text)
    -- "frame:records named so far"; a value left by another frame counts 0.
    local frame, seen = string.match(pinfo.private["avbox_info"] or "", "^(%d+):(%d+)$")
    local n = tonumber(frame) == pinfo.number and tonumber(seen) or 0
    if n == 0 then
        pinfo.cols.info:set(text)
    elseif n < INFO_RECORDS then
        pinfo.cols.info:append(", " .. text)
    elseif n == INFO_RECORDS then
        pinfo.cols.info:append(", ...")
    end
    pinfo.private["avbox_info"] = pinfo.number .. ":" .. (n + 1)
end

-- The bytes of one dissector call's buffer, read out once, and the next
-- magic found in them: every search for a record then costs the distance
-- to it, not the rest of the buffer, so damage costs time in proportion to
-- its size.
local function buffer(tvb)
    return { tvb = tvb, raw = nil, magic_at = nil, names = nil }
end

local function raw_of(buf)
    if not buf.raw then buf.raw = buf.tvb:raw(0, buf.tvb:len()) end
    return buf.raw
end

-- First offset >= from (0-based) of the magic, or false.
local function magic_after(buf, from)
    local m = buf.magic_at
    if m == nil or (m and m < from) then
        local q = string.find(raw_of(buf), MAGIC, from + 1, true)
        m = q and (q - 1) or false
        buf.magic_at = m
    end
    return m
end

-- First offset >= from (0-based) where a record may start, or nil.
local function find_start(buf, from, zero_ok)
    local p = magic_after(buf, from)
    if zero_ok then
        -- 00 00 00 00 begins avhub's own bridge messages; take it only when
        -- a known code follows, since zero runs are common inside records.
        local raw = raw_of(buf)
        local q = from + 1
        while true do
            q = string.find(raw, ZERO_MAGIC, q, true)
            if not q or (p and q > p) then break end
            if q + 5 <= #raw then
                local code = raw:byte(q + 4) * 256 + raw:byte(q + 5)
                if CODES_BOTH[code] or CODES_BRIDGE[code] or CODES_CODEC[code] then
                    return q - 1
                end
            end
            q = q + 1
        end
    end
    return p or nil
end

-- Marks [off, to) as skipped. Returns to.
local function skip(tvb, tree, pinfo, off, to, why_text)
    if to <= off then return off end
    local item = tree:add(F.skipped, tvb(off, to - off))
    item:add_proto_expert_info(E.resync, string.format("%d bytes skipped: %s", to - off, why_text))
    info(pinfo, string.format("[%d bytes skipped]", to - off))
    return to
end

-- Asks the TCP layer for more bytes from off on; returns what it expects.
local function need_more(pinfo, tvb, off, missing)
    pinfo.desegment_offset = off
    pinfo.desegment_len = missing or DESEGMENT_ONE_MORE_SEGMENT
    return tvb:len()
end

-- Resynchronises after a bad record at off: skips to the next start at
-- which `good` (when given) finds a possible record, so that a run of damage
-- is one skipped stretch, and returns it; or asks for more bytes (keeping a
-- tail that may begin a magic) and returns nil.
local function resync(buf, pinfo, tree, off, zero_ok, why, good)
    local tvb = buf.tvb
    local len = tvb:len()
    local p = find_start(buf, off + 1, zero_ok)
    while p and good and not good(buf, p) do p = find_start(buf, p + 1, zero_ok) end
    if p then
        skip(tvb, tree, pinfo, off, p, why)
        return p
    end
    local keep = zero_ok and 5 or 3
    local to = math.max(off + 1, len - keep)
    skip(tvb, tree, pinfo, off, to, why)
    if to >= len then return nil end
    need_more(pinfo, tvb, to)
    return nil
end

----------------------------------------------------------------------------
-- PacketHeader streams

local function dissect_packets(tvb, pinfo, tree, link)
    local len = tvb:len()
    local buf = buffer(tvb)
    local off = 0
    local max = avbox.prefs.max_payload
    -- A PacketHeader may begin at p (where a magic is): its length, when
    -- there to read, is possible.
    local function possible(b, p)
        local raw = raw_of(b)
        if #raw < p + 14 then return true end
        local b1, b2, b3, b4 = raw:byte(p + 11, p + 14)
        return ((b1 * 256 + b2) * 256 + b3) * 256 + b4 <= max
    end
    while off < len do
        local rest = len - off
        if rest < 4 then
            if MAGIC:sub(1, rest) == tvb:raw(off, rest) then return need_more(pinfo, tvb, off) end
            off = resync(buf, pinfo, tree, off, false, "no magic", possible)
            if not off then return len end
        elseif tvb:raw(off, 4) ~= MAGIC then
            local bad = tree:add(avbox, tvb(off, math.min(rest, 4)), "Damaged stream")
            bad:add(F.magic, tvb(off, math.min(rest, 4))):add_proto_expert_info(E.bad_magic)
            off = resync(buf, pinfo, bad, off, false, "wrong magic", possible)
            if not off then return len end
        elseif rest < HEADER_SIZE then
            -- Not the exact count: what follows the header may come in the
            -- same segment, and TCP would hold it back.
            return need_more(pinfo, tvb, off)
        else
            local size = tvb(off + 10, 4):uint()
            if size > max then
                local bad = tree:add(avbox, tvb(off, HEADER_SIZE), "PacketHeader with an impossible length")
                bad:add(F.packet_size, tvb(off + 10, 4)):add_proto_expert_info(E.bad_length,
                    string.format("Impossible payload length %d (more than %d)", size, max))
                info(pinfo, string.format("[length %d impossible]", size))
                off = resync(buf, pinfo, bad, off, false, "impossible length", possible)
                if not off then return len end
            elseif rest < HEADER_SIZE + size then
                return need_more(pinfo, tvb, off, HEADER_SIZE + size - rest)
            else
                local st = tvb(off + 4, 1):uint()
                local ch = tvb(off + 5, 1):uint()
                local ts = tvb(off + 6, 4):uint()
                local flags = bit.band(tvb(off + 17, 1):uint(), 3)
                local kind = STREAM_TYPES[st] or ("stream type " .. st)
                local flag_text = ({ [0] = "middle", [1] = "first", [2] = "last", [3] = "whole" })[flags]
                local summary = string.format("%s ch %d ts %d, %d bytes, %s", kind, ch, ts, size, flag_text)
                local t = tree:add(avbox, tvb(off, HEADER_SIZE + size), "PacketHeader: " .. summary)
                t:add(F.record, tvb(off, HEADER_SIZE), "PacketHeader"):set_generated()
                t:add(F.link, tvb(off, 0), link):set_generated()
                t:add(F.magic, tvb(off, 4))
                local sti = t:add(F.stream_type, tvb(off + 4, 1))
                if not STREAM_TYPES[st] then sti:add_proto_expert_info(E.bad_stream_type) end
                t:add(F.stream_ch, tvb(off + 5, 1))
                t:add(F.time_stamp, tvb(off + 6, 4))
                t:add(F.packet_size, tvb(off + 10, 4))
                local g = t:add(F.gob, tvb(off + 14, 4))
                g:add(F.flags14, tvb(off + 14, 1))
                g:add(F.flags, tvb(off + 17, 1))
                g:add(F.first, tvb(off + 17, 1))
                g:add(F.last, tvb(off + 17, 1))
                if size > 0 then t:add(F.payload, tvb(off + HEADER_SIZE, size)) end
                info(pinfo, summary)
                off = off + HEADER_SIZE + size
            end
        end
    end
    return len
end

----------------------------------------------------------------------------
-- CodecCmd streams

local CMD_FIELDS = {
    { F.type, 6, 2 }, { F.width, 8, 2 }, { F.height, 10, 2 }, { F.complexity, 12, 4 },
    { F.iframe_interval, 16, 4 }, { F.iframe, 20, 4 }, { F.imb_insert, 24, 4 }, { F.imb_period, 28, 4 },
    { F.bit_rate, 32, 2 }, { F.blk, 34, 2 }, { F.fr_rate, 36, 1 }, { F.agree, 37, 1 }, { F.chan, 38, 1 },
    { F.mcu, 39, 1 }, { F.sections, 40, 1 }, { F.reserved, 41, 7 },
}

-- The code that answers a request.
local function answer_code(link, code)
    if link ~= "bridge" then return code + CODEC_REPLY_OFFSET end
    if code <= 528 then return code + BRIDGE_ACK_OFFSET end
    return code + 1
end

-- The queue names of one dissector call: its connection and the two ends,
-- made once per call (every record of a call shares them).
local function queue_names(buf, pinfo)
    if not buf.names then
        local conv = conv_key(pinfo)
        buf.names = { from = conv .. "|" .. src_side(pinfo) .. "|", to = conv .. "|" .. dst_side(pinfo) .. "|" }
    end
    return buf.names
end

-- Links a request to its answer on the same connection, from the other
-- side; first pass only. answer: the code that answers (or is) the record.
-- An answer goes back to the side that asked, so its request waits in the
-- queue of the answer's destination.
local function track(buf, pinfo, key, answer, kind, name)
    if pinfo.visited then return end
    local names = queue_names(buf, pinfo)
    if kind == "req" then
        local qk = names.from .. answer
        local q = pending[qk]
        if not q then
            q = { first = 1, last = 0, keys = {}, frames = {}, times = {}, names = {} }
            pending[qk] = q
        end
        local n = q.last + 1
        q.last = n
        q.keys[n], q.frames[n], q.times[n], q.names[n] = key, pinfo.number, pinfo.rel_ts, name
    elseif kind == "ack" then
        local q = pending[names.to .. answer]
        if not q or q.first > q.last then return end
        local n = q.first
        answer_req[key], answer_cmd[key], answer_time[key] = q.frames[n], q.names[n], pinfo.rel_ts - q.times[n]
        answered[q.keys[n]] = pinfo.number
        q.keys[n], q.frames[n], q.times[n], q.names[n] = nil, nil, nil, nil
        q.first = n + 1
    end
end

local function nstime(seconds)
    if seconds < 0 then seconds = 0 end
    local s = math.floor(seconds)
    return NSTime.new(s, math.floor((seconds - s) * 1e9 + 0.5))
end

local function dissect_one_cmd(buf, pinfo, tree, off, link, to_server)
    local tvb = buf.tvb
    local code = tvb(off + 4, 2):uint()
    local name, kind
    if link == "bridge" then
        name, kind = name_bridge(code)
    else
        name, kind = name_codec(code, to_server)
    end
    local shown = name or ("unknown " .. code)
    local std = tvb(off + 6, 2):uint()
    local chan = tvb(off + 38, 1):uint()
    local summary = string.format("%s ch %d", shown, chan)
    if kind == "ack" then summary = summary .. string.format(" agree %d", tvb(off + 37, 1):uint()) end
    if STANDARDS[std] then summary = summary .. " " .. STANDARDS[std][2] end
    local w, h = tvb(off + 8, 2):uint(), tvb(off + 10, 2):uint()
    if w ~= 0 or h ~= 0 then summary = summary .. string.format(" %dx%d", w, h) end

    local t = tree:add(avbox, tvb(off, CMD_SIZE), "CodecCmd: " .. summary)
    t:add(F.record, tvb(off, CMD_SIZE), "CodecCmd"):set_generated()
    t:add(F.link, tvb(off, 0), link == "bridge" and "bridge" or "codec server"):set_generated()
    local mi = t:add(F.magic, tvb(off, 4))
    if tvb:raw(off, 4) == ZERO_MAGIC then mi:append_text(" (zero: avhub's own bridge messages)") end
    local ci = t:add(F.cmd, tvb(off + 4, 2))
    ci:append_text(" (" .. shown .. ")")
    t:add(F.cmd_name, tvb(off + 4, 2), shown):set_generated()
    if not name then ci:add_proto_expert_info(E.unknown_cmd) end
    for _, fd in ipairs(CMD_FIELDS) do t:add(fd[1], tvb(off + fd[2], fd[3])) end
    if STANDARDS[std] then t:add(F.type_name, tvb(off + 6, 2), STANDARDS[std][2]):set_generated() end
    if kind == "ack" and tvb(off + 37, 1):uint() == 0 and link == "bridge" then t:add_proto_expert_info(E.refused) end

    local key = record_key(pinfo, tvb, off)
    if kind then track(buf, pinfo, key, kind == "req" and answer_code(link, code) or code, kind, shown) end
    local req = answer_req[key]
    if req then
        t:add(F.request_in, tvb(off, 0), req):set_generated()
        t:add(F.request_cmd, tvb(off, 0), answer_cmd[key]):set_generated()
        t:add(F.response_time, tvb(off, 0), nstime(answer_time[key])):set_generated()
    elseif kind == "ack" and pinfo.visited then
        t:add_proto_expert_info(E.no_request)
    end
    local rsp = answered[key]
    if rsp then t:add(F.response_in, tvb(off, 0), rsp):set_generated() end
    info(pinfo, summary)
end

local function dissect_cmds(tvb, pinfo, tree, link, to_server)
    local len = tvb:len()
    local buf = buffer(tvb)
    local off = 0
    while off < len do
        local rest = len - off
        local head = tvb:raw(off, math.min(rest, 4))
        if head ~= MAGIC:sub(1, #head) and head ~= ZERO_MAGIC:sub(1, #head) then
            local bad = tree:add(avbox, tvb(off, #head), "Damaged command stream")
            bad:add(F.magic, tvb(off, #head)):add_proto_expert_info(E.bad_magic)
            off = resync(buf, pinfo, bad, off, true, "wrong magic")
            if not off then return len end
        elseif rest < CMD_SIZE then
            -- One more segment rather than the exact count: a record found
            -- cut short moves the framing, and TCP cannot grow a PDU it
            -- reassembled to an exact length.
            return need_more(pinfo, tvb, off)
        else
            -- A magic inside the 48 bytes: this record was cut short and the
            -- next one begins there. Records cut short one after another are
            -- one stretch of damage.
            local m = magic_after(buf, off + 1)
            if m and m < off + CMD_SIZE then
                local inner = m - off
                local bad = tree:add(avbox, tvb(off, inner), "Command cut short")
                bad:add_proto_expert_info(E.cut_short, string.format("Record cut short after %d bytes", inner))
                local to = m
                while to + CMD_SIZE <= len do
                    local n = magic_after(buf, to + 1)
                    if not n or n >= to + CMD_SIZE then break end
                    to = n
                end
                off = skip(tvb, bad, pinfo, off, to, "cut short")
            else
                dissect_one_cmd(buf, pinfo, tree, off, link, to_server)
                off = off + CMD_SIZE
            end
        end
    end
    return len
end

----------------------------------------------------------------------------
-- Fixed-size text records: the ui FIFO (128 bytes) and the quad display
-- frames (32 bytes), both text up to the first zero byte.

local function dissect_text(tvb, pinfo, tree, size, what)
    local len = tvb:len()
    local off = 0
    while off + size <= len do
        local raw = tvb:raw(off, size)
        local z = raw:find("\0", 1, true)
        local text = z and raw:sub(1, z - 1) or raw
        local t = tree:add(avbox, tvb(off, size), what .. ": " .. text)
        t:add(F.record, tvb(off, size), what):set_generated()
        t:add(F.text, tvb(off, z and (z - 1) or size), text)
        info(pinfo, what .. " \"" .. text .. "\"")
        off = off + size
    end
    if off < len then return need_more(pinfo, tvb, off, size - (len - off)) end
    return len
end

----------------------------------------------------------------------------
-- Dissectors, one per kind of connection, so that "Decode As" offers each.

local function start(tvb, pinfo, tree)
    pinfo.cols.protocol = "AVBOX"
    return tree:add(avbox, tvb())
end

local pkt = Proto("avbox_stream", "Media box PacketHeader stream")
function pkt.dissector(tvb, pinfo, tree)
    local link = (pinfo.src_port == PORT_CODEC_STREAM or pinfo.dst_port == PORT_CODEC_STREAM) and "codec server"
        or "bridge"
    return dissect_packets(tvb, pinfo, start(tvb, pinfo, tree), link)
end

local bcmd = Proto("avbox_bridge_cmd", "Media box bridge commands")
function bcmd.dissector(tvb, pinfo, tree)
    return dissect_cmds(tvb, pinfo, start(tvb, pinfo, tree), "bridge")
end

local ccmd = Proto("avbox_codec_cmd", "Media box codec server commands")
function ccmd.dissector(tvb, pinfo, tree)
    -- Requests go to the server: the capture's port, or else the lower one.
    local to_server
    if pinfo.dst_port == PORT_CODEC_CMD then
        to_server = true
    elseif pinfo.src_port == PORT_CODEC_CMD then
        to_server = false
    else
        to_server = pinfo.dst_port < pinfo.src_port
    end
    return dissect_cmds(tvb, pinfo, start(tvb, pinfo, tree), "codec", to_server)
end

local quad = Proto("avbox_quad", "Media box quad display frames")
function quad.dissector(tvb, pinfo, tree)
    return dissect_text(tvb, pinfo, start(tvb, pinfo, tree), 32, "quad frame")
end

local ui = Proto("avbox_ui", "Media box ui FIFO records")
function ui.dissector(tvb, pinfo, tree)
    return dissect_text(tvb, pinfo, start(tvb, pinfo, tree), 128, "ui record")
end

local tcp_port = DissectorTable.get("tcp.port")
tcp_port:add(PORT_VBS, pkt)
tcp_port:add(PORT_ABS, pkt)
tcp_port:add(PORT_CODEC_STREAM, pkt)
tcp_port:add(PORT_VCMD, bcmd)
tcp_port:add(PORT_ACMD, bcmd)
tcp_port:add(PORT_CODEC_CMD, ccmd)
tcp_port:add(PORT_QUAD, quad)
tcp_port:add(PORT_UI, ui)
