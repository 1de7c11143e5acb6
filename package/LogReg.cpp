#include "package/LogReg.h"

#include "applog/LogApp.h"
#include "checks/KVLChecks.h"
#include "dataset/LogDS.h"
#include "exception/LogError.h"
#include "framework/Classes.h"
#include "watchers/LogFile.h"
#include "watchers/LogNT.h"
#include "watchers/LogRegistry.h"
#include "watchers/LogShell.h"

extern "C" void Register() {
    using namespace zr;
    RegisterComponents(
        "ZORirive", {&TKVExceptionLog::StaticClassInfo(), &TKVAppLog::StaticClassInfo(),
                     &TKVDatasetLog::StaticClassInfo(), &TKVFileLog::StaticClassInfo(),
                     &TKVNTEventLog::StaticClassInfo(), &TKVShellLog::StaticClassInfo(),
                     &TKVRegistryLog::StaticClassInfo(), &TKVLCheckProcessor::StaticClassInfo()});
}
