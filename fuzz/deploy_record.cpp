// Fuzzes the deployment record parser: any accepted text is a "v6:" record of four fields,
// and a record the launcher writes, "v6:{a},{b},{c},{d}", reads back as the same numbers,
// with or without a final line feed. The numbers of that written record come from the input.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/text.hpp"
#include "check.hpp"
#include "launcher/tasks/deploy_cache.hpp"

namespace {

using pelto::launcher::tasks::Stamps;

std::string record_of(const Stamps& stamps) {
    return "v6:" + std::to_string(stamps[0]) + "," + std::to_string(stamps[1]) + "," +
           std::to_string(stamps[2]) + "," + std::to_string(stamps[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using pelto::fuzz::check;
    using pelto::launcher::tasks::parse_deploy_record;
    std::string_view text = pelto::fuzz::as_text(data, size);

    if (auto parsed = parse_deploy_record(text)) {
        check(text.starts_with("v6:") && pelto::base::is_valid_utf8(text),
              "an accepted record is UTF-8 and starts with v6:");
        check(std::count(text.begin(), text.end(), ',') == 3, "an accepted record has four fields");
        check(parse_deploy_record(record_of(*parsed)) == parsed,
              "an accepted record written again reads the same");
    }

    Stamps stamps{};
    std::memcpy(stamps.data(), data, std::min(size, sizeof stamps));
    std::string record = record_of(stamps);
    check(parse_deploy_record(record) == stamps, "a written record reads back");
    check(parse_deploy_record(record + "\n") == stamps, "a written record with a LF reads back");
    return 0;
}
