// Declarations the Windows SDK has and the mingw-w64 headers lack, with the SDK's names and
// layouts, each behind a guard so that a fuller SDK wins.
#pragma once
