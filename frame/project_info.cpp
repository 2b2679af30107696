#include "frame/project_info.h"

#include <cstring>
#include <new>

namespace ksym {

namespace {
char** Texts(ProjectInfo& info, int i) {
    char** const fields[5] = {&info.infoText1, &info.infoText2, &info.infoText3, &info.infoText4,
                              &info.infoText5};
    return fields[i];
}
} // namespace

char* DuplicateText(const char* text, size_t length) {
    char* copy = new (std::nothrow) char[length + 1];
    if (copy == nullptr) {
        return nullptr;
    }
    if (length != 0) {
        std::memcpy(copy, text, length);
    }
    copy[length] = '\0';
    return copy;
}

void ReleaseText(char* text) {
    delete[] text;
}

bool ConstructProjectInfo(ProjectInfo& info) {
    info = ProjectInfo{};
    for (int i = 0; i < 5; ++i) {
        *Texts(info, i) = DuplicateText("", 0);
        if (*Texts(info, i) == nullptr) {
            ClearProjectInfo(info);
            return false;
        }
    }
    return true;
}

void ClearProjectInfo(ProjectInfo& info) {
    for (int i = 0; i < 5; ++i) {
        ReleaseText(*Texts(info, i));
        *Texts(info, i) = nullptr;
    }
    info.infoProjectId = 0;
    info.infoNumber = 0;
}

} // namespace ksym
