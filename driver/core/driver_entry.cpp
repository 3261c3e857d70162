// Driver entry, dispatch table, registry log level, system-control
// pass-through and unload.
#include "acquisition/block_reader.h"
#include "acquisition/key_events.h"
#include "core/device_core.h"

namespace {

// Registry paths are copied into a zero-filled buffer of this many characters.
constexpr ULONG kRegistryPathChars = 256;

// The build day packed as month << 24 | day << 16 | two-digit year, from the
// compiler's date ("Jan  9 2013" gives 0x0109000D).
constexpr ULONG BuildMonth(const char* date) {
    const char* months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    for (ULONG m = 0; m < 12; ++m)
        if (date[0] == months[3 * m] && date[1] == months[3 * m + 1] && date[2] == months[3 * m + 2]) return m + 1;
    return 0;
}
constexpr ULONG BuildDayOfMonth(const char* date) {
    return (date[4] == ' ' ? 0 : static_cast<ULONG>(date[4] - '0') * 10) + static_cast<ULONG>(date[5] - '0');
}
constexpr ULONG BuildYear2(const char* date) {
    return static_cast<ULONG>(date[9] - '0') * 10 + static_cast<ULONG>(date[10] - '0');
}
constexpr ULONG PackBuildDay(const char* date) {
    return BuildMonth(date) << 24 | BuildDayOfMonth(date) << 16 | BuildYear2(date);
}
static_assert(PackBuildDay("Jan  9 2013") == 0x0109000D, "build day packing");
static_assert(PackBuildDay("Dec 31 2099") == 0x0C1F0063, "build day packing");

}  // namespace

BOOLEAN SetDebugLevelFromRegistry(PUNICODE_STRING registryPath, PCWSTR valueName, PLONG level) {
    VELNOR_LOG(5, "Velnor> SetDebugLevelFromRegistry() - START\n");
    LONG defaultLevel = 2;
    *level = 2;
    VELNOR_LOG(3, "Velnor> Debug: SetDebugLevelFromRegistry() - Registry Path = %ws, DebugRegValueName =%ws\n",
               registryPath->Buffer, valueName);

    // A path that does not fit the copy would name another key; keep the
    // default rather than read the wrong one.
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    if (chars >= kRegistryPathChars) {
        VELNOR_LOG(1, "Velnor> ERROR: SetDebugLevelFromRegistry() - registry path too long (%u characters)\n", chars);
        VELNOR_LOG(5, "Velnor> SetDebugLevelFromRegistry() - EXIT\n");
        return FALSE;
    }
    WCHAR path[kRegistryPathChars];
    RtlZeroMemory(path, sizeof(path));
    RtlCopyMemory(path, registryPath->Buffer, chars * sizeof(WCHAR));
    VELNOR_LOG(3, "Velnor> Debug: SetDebugLevelFromRegistry() - Registry Path = %ws\n", path);

    ULONG value = 2;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    // A direct query writes a value as its own type: a string would land as
    // a 16-byte UNICODE_STRING on this 4-byte variable. The type check makes
    // any value but a REG_DWORD fail the query instead.
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = const_cast<PWSTR>(valueName);
    table[0].EntryContext = &value;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    table[0].DefaultData = &defaultLevel;
    table[0].DefaultLength = sizeof(ULONG);

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_INVALID_PARAMETER)
            VELNOR_LOG(1, "Velnor> Debug: SetDebugLevelFromRegistry() - STATUS_INVALID_PARAMETER\n");
        else if (status == STATUS_OBJECT_NAME_NOT_FOUND)
            VELNOR_LOG(1, "Velnor> Debug: SetDebugLevelFromRegistry() - STATUS_OBJECT_NAME_NOT_FOUND\n");
        else
            VELNOR_LOG(1, "Velnor> Debug: SetDebugLevelFromRegistry() - function failed (Status = 0x%X)\n", status);
        *level = 2;
        VELNOR_LOG(5, "Velnor> SetDebugLevelFromRegistry() - EXIT\n");
        return FALSE;
    }
    *level = static_cast<LONG>(value);
    if (*level >= 2) DbgPrint("Velnor> Debug: SetDebugLevelFromRegistry() - %ws set to 0x%X\n", valueName, value);
    VELNOR_LOG(5, "Velnor> SetDebugLevelFromRegistry() - EXIT\n");
    return TRUE;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    VELNOR_LOG(5, "Velnor> DriverEntry() - START\n");
    DbgPrint("Velnor.sys Build: %s %s\n", __DATE__, __TIME__);
    DbgPrint("VELNOR> Driver Build Day (0x%X) = %02u/%02u/%02u\n", PackBuildDay(__DATE__), BuildMonth(__DATE__),
             BuildDayOfMonth(__DATE__), BuildYear2(__DATE__));

    SetDebugLevelFromRegistry(registryPath, L"DebugLevel", &DebugLevel);

    // Write, cleanup, shutdown and the rest keep the platform's default answer.
    driverObject->MajorFunction[IRP_MJ_CREATE] = Velnor_Create;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = Velnor_Close;
    driverObject->MajorFunction[IRP_MJ_READ] = Velnor_Read;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Velnor_ProcessIOCTL;
    driverObject->MajorFunction[IRP_MJ_POWER] = Velnor_DispatchPower;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Velnor_ProcessSysControlIrp;
    driverObject->MajorFunction[IRP_MJ_PNP] = Velnor_DispatchPnp;
    driverObject->DriverUnload = Velnor_Unload;
    driverObject->DriverExtension->AddDevice = Velnor_PnPAddDevice;
    DeviceRemoved = 1;
    DeviceStarted = 0;
    KeInitializeEvent(&BlockReaderTurn, SynchronizationEvent, TRUE);

    VELNOR_LOG(5, "Velnor> DriverEntry() - EXIT (0x%X)\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS Velnor_ProcessSysControlIrp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    VELNOR_LOG(5, "Velnor> Velnor_ProcessSysControlIrp() - START\n");
    auto* deviceExtension = static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(deviceExtension->StackDeviceObject, irp);
    VELNOR_LOG(5, "Velnor> Velnor_ProcessSysControlIrp() - EXIT (0x%X)\n", status);
    return status;
}

VOID Velnor_Unload(PDRIVER_OBJECT) {
    // Everything the driver allocated belongs to the device and is released
    // by its removal.
    VELNOR_LOG(5, "Velnor> Velnor_Unload() - START\n");
    VELNOR_LOG(5, "Velnor> Velnor_Unload() - EXIT\n");
}
