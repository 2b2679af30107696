// Construction and clearing of the ProjectInfo record embedded in every channel context.
#ifndef KSYM_FRAME_PROJECT_INFO_H
#define KSYM_FRAME_PROJECT_INFO_H

#include "include/ksymbol.h"

namespace ksym {

// Both numbers 0 and five newly allocated empty texts. False (and the record cleared) when
// the texts cannot be allocated.
bool ConstructProjectInfo(ProjectInfo& info);
// Releases the five texts and sets every field to 0 or null; a cleared record stays as is.
void ClearProjectInfo(ProjectInfo& info);
// A newly allocated copy of the first `length` bytes of text, NUL-terminated; null when
// memory is short. Texts of a ProjectInfo are made and released only through these.
char* DuplicateText(const char* text, size_t length);
void ReleaseText(char* text);

} // namespace ksym

#endif
