// One reading of boxsim's record directory for one stage: the lines of
// events.tsv from where the stage's window begins, each read once, and the
// payload data files, read after the lines that point into them (boxsim
// appends the payload before it writes the line, so every payload a line
// names is in the file by then). Every row of a stage is computed from one
// snapshot, never from reads made at different moments.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "boxsim/client.hpp"

namespace demo {

class Snapshot {
public:
    // The window begins at byte `from` of events.tsv (a line start).
    Snapshot(std::string record_dir, std::uint64_t from);

    // Reads the complete lines boxsim has added since the last refresh, and
    // forgets the data files read so far (they are read again, after these
    // lines, when next asked for).
    void refresh();

    const std::vector<boxsim::Event>& events() const { return events_; }
    // Where the next window begins: the end of the last complete line read.
    std::uint64_t end() const { return end_; }
    // `size` bytes at `off` of a data file ("T_DecStrm.rx", "bridge.tx");
    // fewer when the file is shorter.
    std::string payload(const std::string& file, long long off, long long size) const;

private:
    struct Data {
        std::uint64_t base = 0;  // file offset of bytes[0]
        std::string bytes;
    };
    std::string dir_;
    std::uint64_t end_;
    std::vector<boxsim::Event> events_;
    mutable std::map<std::string, Data> data_;
};

}  // namespace demo
