#include "command_failure.h"

#include <filesystem>

namespace qsync {
std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        out.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
    }
    return out;
}

CommandFailure DescribeFailure(const std::exception_ptr& error) {
    CommandFailure failure;
    try {
        std::rethrow_exception(error);
    } catch (const CommandLineError& e) {
        failure = {kExitUsage, e.what(), e.json(), {}};
    } catch (const RefusedNamesError& e) {
        failure = {kExitUsage, e.what(), false, e.names()};
    } catch (const UsageError& e) {
        failure = {kExitUsage, e.what(), false, {}};
    } catch (const UnreachableError& e) {
        failure = {kExitUnreachable, e.what(), false, {}};
    } catch (const InterruptedError& e) {
        failure = {kExitInterrupted, e.what(), false, {}};
    } catch (const std::filesystem::filesystem_error& e) {
        failure = {kExitUsage, e.what(), false, {}};
    } catch (const std::exception& e) {  // unexpected: a JSON reader still gets its summary
        failure = {kExitJobFailed, e.what(), false, {}};
    } catch (...) {
        failure = {kExitJobFailed, "unexpected failure", false, {}};
    }
    return failure;
}

Json FailureEvent(const CommandFailure& failure) {
    Json done = {{"event", "done"}, {"result", nullptr}, {"error", failure.message}, {"exit", failure.exitCode}};
    if (!failure.refused.empty()) {
        Json list = Json::array();
        for (const RefusedName& name : failure.refused)
            list.push_back({{"pc", name.pc}, {"pc_hex", HexBytes(name.pc)}, {"reason", name.reason}});
        done["refused"] = list;
    }
    return done;
}

}  // namespace qsync
