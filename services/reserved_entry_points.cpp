// Entry points reserved for services the library does not offer: each accepts any
// arguments, reads none, sends nothing, records nothing and answers 0.
#include "include/ksymbol.h"

#define KSYM_RESERVED(name)                                                                        \
    extern "C" KSYM_API int32_t KSYM_CALL name(int32_t, ...) {                                     \
        return 0;                                                                                  \
    }

KSYM_RESERVED(KSymStart)
KSYM_RESERVED(KSymStartResult)
KSYM_RESERVED(KSymStop)
KSYM_RESERVED(KSymStopResult)
KSYM_RESERVED(KSymReset)
KSYM_RESERVED(KSymResetResult)
KSYM_RESERVED(KSymResetCold)
KSYM_RESERVED(KSymResetColdResult)
KSYM_RESERVED(KSymResetOrigin)
KSYM_RESERVED(KSymResetOriginResult)
KSYM_RESERVED(KSymDefineODList)
KSYM_RESERVED(KSymDefineODListByFile)
KSYM_RESERVED(KSymDeleteODList)
KSYM_RESERVED(KSymODResult)
KSYM_RESERVED(KSymODCreate)
KSYM_RESERVED(KSymODDelete)
KSYM_RESERVED(KSymODQuery)
KSYM_RESERVED(KSymODRead)
KSYM_RESERVED(KSymODWrite)
KSYM_RESERVED(KSymBuildODCSV)
KSYM_RESERVED(KSymBuildODCSVFile)
