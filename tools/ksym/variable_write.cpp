#include "tools/ksym/variable_write.h"

#include "extern/kclient.h"
#include "tools/ksym/list_read.h"

namespace ksymtool {

namespace {

// Sends one write of `items` and takes the controller's answer. kExitOk when it accepted;
// for a list that needs several telegrams, `tooBig` is set and nothing was sent.
int WriteOnce(const Session& session, const std::vector<const Assignment*>& items, bool& tooBig,
              std::string& why) {
    tooBig = false;
    std::vector<const char*> names;
    std::vector<const void*> buffers;
    for (const Assignment* item : items) {
        names.push_back(item->variable.name.c_str());
        buffers.push_back(item->bytes.data());
    }
    const int32_t channel = session.channel();
    if (KSymWriteVars(channel, names.data(), static_cast<uint32_t>(names.size()), buffers.data()) ==
        0) {
        const int32_t code = KClientGetLastError();
        if (items.size() > 1 &&
            (code == KSYM_ERR_TOO_BIG_WRITE || code == KSYM_ERR_MULTI_TELEGRAM)) {
            tooBig = true;
            return kExitOk;
        }
        if (code == KSYM_ERR_NO_SYMBOLS || code == KSYM_ERR_TOO_BIG_READ ||
            code == KSYM_ERR_TOO_BIG_WRITE || code == KSYM_ERR_MULTI_TELEGRAM) {
            std::vector<Variable> variables;
            for (const Assignment* item : items) {
                variables.push_back(item->variable);
            }
            return DescribeRefusedDefinition(channel, variables, why);
        }
        why = "the write could not be sent: " + LastErrorText();
        return kExitExchangeFailed;
    }
    int exitCode = kExitOk;
    if (!session.AwaitReply(exitCode, why)) {
        return exitCode;
    }
    if (KSymWriteResult(channel) != 1) {
        why = "the controller refused the write";
        if (items.size() == 1) {
            why += std::string(" (") + names[0] + ")";
        }
        return kExitRefused;
    }
    return kExitOk;
}

} // namespace

bool ParseAssignments(std::vector<Assignment>& assignments, std::string& why) {
    for (Assignment& item : assignments) {
        if (!ParseValue(item.variable.shape, item.text, item.bytes)) {
            const uint32_t size = item.variable.shape.size;
            why = "value does not fit " + item.variable.name + " (" + item.variable.typeName +
                  ", " + std::to_string(size) + (size == 1 ? " byte): " : " bytes): ") + item.text;
            return false;
        }
    }
    return true;
}

int WriteAssignments(const Session& session, const std::vector<Assignment>& assignments,
                     std::string& why) {
    std::vector<const Assignment*> all;
    for (const Assignment& item : assignments) {
        all.push_back(&item);
    }
    bool tooBig = false;
    int exitCode = WriteOnce(session, all, tooBig, why);
    // The station's block size holds them only one by one.
    for (size_t i = 0; tooBig && i < all.size(); ++i) {
        bool single = false;
        exitCode = WriteOnce(session, {all[i]}, single, why);
        if (exitCode != kExitOk) {
            if (i > 0) {
                why += "; the " + std::to_string(i) +
                       (i == 1 ? " variable before it was written"
                               : " variables before it were written");
            }
            break;
        }
    }
    return exitCode;
}

} // namespace ksymtool
