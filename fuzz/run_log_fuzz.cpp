// libFuzzer target: the lines of a run's log (l3 check/repack --jsonl), which a resumed run
// reads back from a file anyone may have edited or cut short. Any bytes are read without a
// fault; and a name of any bytes, written into a line as the commands write it, reads back
// as itself with its stamp, whatever the values around it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_text.h"
#include "run_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    l3tool::LoggedFile entry;
    l3tool::parseLogLine(bytes, entry);

    // The first bytes choose the stamp, the rest is the name.
    l3tool::FileStamp stamp;
    if (size >= 2) {
        stamp.size = data[0] * 977u;
        stamp.mtimeNs = (static_cast<int64_t>(data[1]) - 128) * 1000000007;
    }
    const std::string_view name = bytes.substr(size >= 2 ? 2 : size);
    std::string line = "{\"file\": ";
    l3tool::appendJsonString(line, name);
    line += ", " + l3tool::stampFields(stamp) + ", \"status\": 3, \"faults\": [{\"message\": ";
    l3tool::appendJsonString(line, name);
    line += "}]}";
    if (!l3tool::parseLogLine(line, entry) || entry.file != name || !entry.stamp ||
        entry.stamp->size != stamp.size || entry.stamp->mtimeNs != stamp.mtimeNs ||
        entry.status != 3)
        std::abort();
    return 0;
}
