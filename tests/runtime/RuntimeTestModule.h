// A module of the runtime's own chain for its tests: the steps around the
// message loop are recorded instead of starting an agent.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "resources/Guids.h"
#include "resources/ResourceIds.h"
#include "runtime/ServiceModuleT.h"

class CTestModule : public CServiceModuleT<CTestModule, IDS_SERVICENAME>
{
public:
    static constexpr const wchar_t* kAppIdText = ZELT_APPID_TEXT;

    HRESULT AddScriptReplacements(IRegistrarBase*) override { return S_OK; }

    // Leaves a quit message behind, so that a loop that runs ends at once and
    // one that does not run leaves it in the queue.
    HRESULT PreMessageLoop(int showCommand)
    {
        calls.push_back("PreMessageLoop(" + std::to_string(showCommand) + ")");
        PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
        return preLoopResult;
    }
    HRESULT ShutdownAgent()
    {
        calls.push_back("ShutdownAgent");
        return static_cast<HRESULT>(0x1234);
    }

    std::vector<std::string> calls;
    HRESULT preLoopResult = S_OK;
};
