#include "fleet/fleet_report.h"
#include "app/state/app_state.h"
#include "common/text.h"
#include "fleet/fleet_record.h"
#include "package/image.h"
#include "package/package_config.h"
#include "package/version_rules.h"

#include "cjson/cJSON.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

const size_t kPathChars = 600;

// The text in UTF-8 as a JSON string member of object. The texts here are at most 1024
// characters (APP_MESSAGE_CHARS), which 4096 bytes always hold.
void AddText(cJSON* object, const char* name, const WCHAR* text) {
    char utf8[4096];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL) == 0) {
        utf8[0] = 0;
    }
    cJSON_AddStringToObject(object, name, utf8);
}

BOOL PartialPath(const WCHAR* path, WCHAR* partial) {
    if (wcslen(path) + wcslen(L".partial") + 1 > kPathChars) {
        return FALSE;
    }
    CopyText(partial, kPathChars, path);
    AppendText(partial, kPathChars, L".partial");
    return TRUE;
}

// The package's images: the keys of its NandMap with their files and the revision each carries.
void AddPackage(cJSON* root) {
    const AppState* state = GetAppState();
    cJSON* package = cJSON_AddObjectToObject(root, "package");
    AddText(package, "title", state->Title);
    AddText(package, "newversion", state->NEWVERSION);
    cJSON* images = cJSON_AddArrayToObject(package, "images");
    WCHAR keys[4096];
    const DWORD n =
        GetPrivateProfileStringW(CONFIG_SECTION_NANDMAP, NULL, L"", keys, 4096, state->ConfigPath);
    for (const WCHAR* key = keys; n > 0 && *key != 0; key += wcslen(key) + 1) {
        WCHAR file[MAX_PATH];
        GetPrivateProfileStringW(CONFIG_SECTION_NANDMAP, key, L"", file, MAX_PATH,
                                 state->ConfigPath);
        cJSON* image = cJSON_CreateObject();
        AddText(image, "nand", key);
        AddText(image, "file", file);
        WCHAR revision[DISK_TEXT_CHARS] = L"";
        WCHAR full[MAX_PATH];
        DWORD size = 0;
        BYTE* bytes =
            WorkingFolderImagePath(file, full, MAX_PATH) ? LoadImageFile(full, &size) : NULL;
        if (bytes != NULL) {
            ReadImageVersionFromBuffer(bytes, size, revision, DISK_TEXT_CHARS);
            FreeImageFile(bytes);
        }
        AddText(image, "revision", revision);
        cJSON_AddItemToArray(images, image);
    }
}

void AddDisk(cJSON* disks, const FleetDisk* d) {
    cJSON* disk = cJSON_CreateObject();
    AddText(disk, "model", d->Disk.Model);
    AddText(disk, "serial", d->Disk.SerialNumber);
    cJSON_AddStringToObject(disk, "path", FleetPathName(d->Disk.iCmdType));
    char port[32];
    snprintf(port, sizeof(port), "%lld", static_cast<long long>(d->Disk.iPort));
    cJSON_AddStringToObject(disk, "port_id", port);
    AddText(disk, "firmware_before", d->Disk.FirmwareRev);
    AddText(disk, "firmware_after", d->FirmwareAfter);
    cJSON_AddBoolToObject(disk, "admitted", d->bAdmitted != 0);
    cJSON* checks = cJSON_AddArrayToObject(disk, "checks");
    for (int c = 0; c < FLEET_CHECK_COUNT; ++c) {
        cJSON* check = cJSON_CreateObject();
        cJSON_AddStringToObject(check, "name", FleetCheckName(c));
        cJSON_AddStringToObject(check, "result", FleetCheckResultName(d->Checks[c].iResult));
        AddText(check, "text", d->Checks[c].Text);
        cJSON_AddItemToArray(checks, check);
    }
    cJSON_AddStringToObject(disk, "outcome", FleetOutcomeName(d->iOutcome));
    AddText(disk, "reason", d->Reason);
    cJSON* steps = cJSON_AddArrayToObject(disk, "steps");
    for (int s = 0; d->bUpdated && s < STEP_COUNT; ++s) {
        const UpdateStepRecord* r = &d->Update.Steps[s];
        if (!r->bRan) {
            continue;
        }
        cJSON* step = cJSON_CreateObject();
        cJSON_AddStringToObject(step, "name", StepName(s));
        cJSON_AddNumberToObject(step, "ms", r->iMilliseconds);
        cJSON_AddStringToObject(step, "result", r->iResult == 1 ? "ok" : "failed");
        cJSON_AddItemToArray(steps, step);
    }
    cJSON_AddItemToArray(disks, disk);
}

char* ReportText(const FleetRun* run, const char* programVersion) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "schema", 1);
    cJSON* program = cJSON_AddObjectToObject(root, "program");
    cJSON_AddStringToObject(program, "name", "zxflash");
    cJSON_AddStringToObject(program, "version", programVersion);
    AddPackage(root);
    char time[40];
    FormatIsoTime(&run->Started, time, sizeof(time));
    cJSON_AddStringToObject(root, "started", time);
    FormatIsoTime(&run->Ended, time, sizeof(time));
    cJSON_AddStringToObject(root, "ended", time);
    cJSON_AddNumberToObject(root, "exit_code", run->iExitCode);
    cJSON* disks = cJSON_AddArrayToObject(root, "disks");
    for (uint32_t i = 0; i < run->iDiskCount; ++i) {
        AddDisk(disks, &run->Disks[i]);
    }
    char* text = cJSON_Print(root);
    cJSON_Delete(root);
    return text;
}

BOOL WriteAll(const WCHAR* path, const char* text) {
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    const DWORD length = static_cast<DWORD>(strlen(text));
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, length, &written, NULL) && written == length &&
              WriteFile(file, "\n", 1, &written, NULL) && written == 1 && FlushFileBuffers(file);
    CloseHandle(file);
    return ok;
}

} // namespace

BOOL CanWriteFleetReport(const WCHAR* path) {
    WCHAR partial[kPathChars];
    if (!PartialPath(path, partial) || !WriteAll(partial, "")) {
        return FALSE;
    }
    DeleteFileW(partial);
    return TRUE;
}

BOOL WriteFleetReport(const WCHAR* path, const FleetRun* run, const char* programVersion) {
    WCHAR partial[kPathChars];
    if (!PartialPath(path, partial)) {
        return FALSE;
    }
    char* text = ReportText(run, programVersion);
    if (text == NULL) {
        return FALSE;
    }
    BOOL ok = WriteAll(partial, text);
    cJSON_free(text);
    if (ok) {
        ok = MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!ok) {
        DeleteFileW(partial);
    }
    return ok;
}
