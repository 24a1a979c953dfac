#include "platform/ProcessTable.h"

#include "platform/System.h"

#include <cctype>
#include <cstdlib>

namespace quillet::sys {
namespace {

constexpr size_t kCommandLength = 15; // TASK_COMM_LEN less the terminating zero
constexpr size_t kMaxStatBytes = 4096;

bool isNumber(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

bool parseProcessStat(std::string_view text, ProcessEntry &entry) {
    // The name may itself hold spaces and parentheses: it runs from the first "(" to the last ")".
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open || close + 2 >= text.size())
        return false;
    std::string_view pid = text.substr(0, open);
    while (!pid.empty() && pid.back() == ' ')
        pid.remove_suffix(1);
    if (!isNumber(pid))
        return false;
    entry.pid = static_cast<pid_t>(std::strtol(std::string(pid).c_str(), nullptr, 10));
    entry.command = std::string(text.substr(open + 1, close - open - 1));
    entry.state = text[close + 2];
    return true;
}

std::vector<ProcessEntry> readProcessTable() {
    std::vector<ProcessEntry> table;
    auto entries = listDirectory("/proc");
    if (!entries)
        return table;
    for (const DirEntry &entry : *entries) {
        if (!isNumber(entry.name))
            continue;
        auto text = readFile("/proc/" + entry.name + "/stat", kMaxStatBytes);
        ProcessEntry process;
        if (!text || !parseProcessStat(*text, process) || process.state == 'Z')
            continue;
        table.push_back(std::move(process));
    }
    return table;
}

bool matchesProgram(std::string_view command, std::string_view program) {
    return !command.empty() && command == program.substr(0, kCommandLength);
}

} // namespace quillet::sys
