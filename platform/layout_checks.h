// Compile-time checks of the platform structures and control codes the program builds requests
// from. The request buffers are written for the 32-bit (i686) layouts; the 64-bit build (Windows
// x86_64, and the POSIX layer, which follows the same natural alignment) has its own numbers.
// A wrong declaration, a missing pack or a changed SDK header fails the build here rather than
// sending a malformed request to a drive.
#pragma once

#include "platform/win32.h"

#include <stddef.h>

namespace zxlayout {

constexpr bool kPtr32 = sizeof(void*) == 4;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "32-bit or 64-bit pointers only");
constexpr size_t ByWidth(size_t bits32, size_t bits64) {
    return kPtr32 ? bits32 : bits64;
}

// --- base types -------------------------------------------------------------------------------

static_assert(sizeof(BYTE) == 1 && sizeof(UCHAR) == 1 && sizeof(BOOLEAN) == 1, "8-bit types");
static_assert(sizeof(WORD) == 2 && sizeof(USHORT) == 2, "16-bit types");
static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit types");
static_assert(sizeof(BOOL) == 4 && sizeof(UINT) == 4, "32-bit types");
static_assert(sizeof(ULONGLONG) == 8 && sizeof(DWORDLONG) == 8, "64-bit types");
static_assert(sizeof(HANDLE) == sizeof(void*) && sizeof(ULONG_PTR) == sizeof(void*), "handles");
static_assert(sizeof(WPARAM) == sizeof(void*) && sizeof(LPARAM) == sizeof(void*), "parameters");

// --- control codes ------------------------------------------------------------------------------

static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x002D1400, "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x002D1080, "IOCTL_STORAGE_GET_DEVICE_NUMBER");
static_assert(IOCTL_STORAGE_PROTOCOL_COMMAND == 0x002DD3C0, "IOCTL_STORAGE_PROTOCOL_COMMAND");
static_assert(IOCTL_STORAGE_FIRMWARE_DOWNLOAD == 0x002DDC04, "IOCTL_STORAGE_FIRMWARE_DOWNLOAD");
static_assert(IOCTL_STORAGE_FIRMWARE_ACTIVATE == 0x002DDC08, "IOCTL_STORAGE_FIRMWARE_ACTIVATE");
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x00041018, "IOCTL_SCSI_GET_ADDRESS");
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x0004D014, "IOCTL_SCSI_PASS_THROUGH_DIRECT");
static_assert(IOCTL_ATA_PASS_THROUGH_DIRECT == 0x0004D030, "IOCTL_ATA_PASS_THROUGH_DIRECT");
static_assert(IOCTL_SCSI_MINIPORT == 0x0004D008, "IOCTL_SCSI_MINIPORT");

static_assert((DWORD)STG_S_POWER_CYCLE_REQUIRED == 0x00030207u, "STG_S_POWER_CYCLE_REQUIRED");
static_assert((DWORD)STG_E_FIRMWARE_SLOT_INVALID == 0x80030208u, "STG_E_FIRMWARE_SLOT_INVALID");
static_assert((DWORD)STG_E_FIRMWARE_IMAGE_INVALID == 0x80030209u, "STG_E_FIRMWARE_IMAGE_INVALID");

// --- IOCTL_STORAGE_QUERY_PROPERTY
// ------------------------------------------------------------------

static_assert(StorageDeviceProperty == 0 && PropertyStandardQuery == 0, "standard device query");
static_assert(StorageAdapterProtocolSpecificProperty == 49, "adapter protocol-specific property");
static_assert(StorageDeviceProtocolSpecificProperty == 50, "device protocol-specific property");
static_assert(ProtocolTypeNvme == 3, "ProtocolTypeNvme");
static_assert(NVMeDataTypeIdentify == 1 && NVMeDataTypeLogPage == 2, "NVMe data types");
static_assert(BusTypeScsi == 1 && BusTypeUsb == 7 && BusTypeiScsi == 9, "bus types");
static_assert(BusTypeSas == 10 && BusTypeSata == 11 && BusTypeNvme == 17, "bus types");

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "STORAGE_PROPERTY_QUERY");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4, "QueryType");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == 8, "AdditionalParameters");

// The fixed part of the descriptor is the 40-byte output of the bus-type query.
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "STORAGE_DEVICE_DESCRIPTOR");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType) == 8, "DeviceType");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12, "VendorIdOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16, "ProductIdOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == 20,
              "ProductRevisionOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24, "SerialNumberOffset");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28, "BusType");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength) == 32,
              "RawPropertiesLength");

// The protocol-specific query: the property query's AdditionalParameters carry this record, so
// the returned data starts at 8 + 40 = 48.
static_assert(sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) == 40, "STORAGE_PROTOCOL_SPECIFIC_DATA");
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, DataType) == 4, "DataType");
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestValue) == 8,
              "ProtocolDataRequestValue");
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataRequestSubValue) == 12,
              "ProtocolDataRequestSubValue");
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataOffset) == 16,
              "ProtocolDataOffset");
static_assert(offsetof(STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataLength) == 20,
              "ProtocolDataLength");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) +
                      sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) ==
                  48,
              "protocol data at 48 in the query buffer");

// --- IOCTL_STORAGE_PROTOCOL_COMMAND
// ----------------------------------------------------------------

static_assert(STORAGE_PROTOCOL_STRUCTURE_VERSION == 1, "STORAGE_PROTOCOL_STRUCTURE_VERSION");
static_assert(STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST == 0x80000000u, "adapter request");
static_assert(STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND == 1, "NVMe admin command");
static_assert(STORAGE_PROTOCOL_COMMAND_LENGTH_NVME == 64, "NVMe command length");

static_assert(sizeof(STORAGE_PROTOCOL_COMMAND) == 84, "STORAGE_PROTOCOL_COMMAND");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Length) == 4, "Length");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ProtocolType) == 8, "ProtocolType");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Flags) == 12, "Flags");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ReturnStatus) == 16, "ReturnStatus");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ErrorCode) == 20, "ErrorCode");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, CommandLength) == 24, "CommandLength");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ErrorInfoLength) == 28, "ErrorInfoLength");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataToDeviceTransferLength) == 32,
              "DataToDeviceTransferLength");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataFromDeviceTransferLength) == 36,
              "DataFromDeviceTransferLength");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, TimeOutValue) == 40, "TimeOutValue");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, ErrorInfoOffset) == 44, "ErrorInfoOffset");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataToDeviceBufferOffset) == 48,
              "DataToDeviceBufferOffset");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, DataFromDeviceBufferOffset) == 52,
              "DataFromDeviceBufferOffset");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, CommandSpecific) == 56, "CommandSpecific");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, FixedProtocolReturnData) == 64,
              "FixedProtocolReturnData");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, FixedProtocolReturnData2) == 68,
              "FixedProtocolReturnData2");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Reserved1) == 72, "Reserved1");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Command) == 80, "Command at 80");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Command) + STORAGE_PROTOCOL_COMMAND_LENGTH_NVME ==
                  144,
              "the data of a protocol command follows the command at 144");

// --- IOCTL_STORAGE_FIRMWARE_DOWNLOAD / _ACTIVATE
// ------------------------------------------------------

static_assert(STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER == 1, "controller flag");
static_assert(STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE == 0x80000000u,
              "switch-to-existing flag");

static_assert(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) == 40, "STORAGE_HW_FIRMWARE_DOWNLOAD");
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Size) == 4, "Size");
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Flags) == 8, "Flags");
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Slot) == 12, "Slot");
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Offset) == 16, "Offset");
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, BufferSize) == 24, "BufferSize");
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer) == 32, "ImageBuffer at 32");

static_assert(sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) == 16, "STORAGE_HW_FIRMWARE_ACTIVATE");
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Flags) == 8, "Flags");
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Slot) == 12, "Slot");

// --- IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_SCSI_GET_ADDRESS
// -------------------------------------------

static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "STORAGE_DEVICE_NUMBER");
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == 4, "DeviceNumber");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS");
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == 4, "PortNumber");
static_assert(offsetof(SCSI_ADDRESS, PathId) == 5, "PathId");
static_assert(offsetof(SCSI_ADDRESS, TargetId) == 6, "TargetId");
static_assert(offsetof(SCSI_ADDRESS, Lun) == 7, "Lun");

// --- IOCTL_SCSI_PASS_THROUGH_DIRECT
// ---------------------------------------------------------------------

static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1, "data directions");
static_assert(SCSI_IOCTL_DATA_UNSPECIFIED == 2, "data direction unspecified");

// 44 bytes in the 32-bit layout: with the 4-byte filler the sense area of the 112-byte
// pass-through request starts at 48.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == ByWidth(44, 56), "SCSI_PASS_THROUGH_DIRECT");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2, "ScsiStatus follows Length");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3, "PathId");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4, "TargetId");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5, "Lun");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6, "CdbLength");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7, "SenseInfoLength");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8, "DataIn");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12, "DataTransferLength");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16, "TimeOutValue");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == ByWidth(20, 24), "DataBuffer");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == ByWidth(24, 32),
              "SenseInfoOffset");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == ByWidth(28, 36), "Cdb");
static_assert(sizeof(((SCSI_PASS_THROUGH_DIRECT*)0)->Cdb) == 16, "16-byte CDB");
static_assert(!kPtr32 || sizeof(SCSI_PASS_THROUGH_DIRECT) + 4 + 64 == 112,
              "the 32-bit pass-through request: structure, filler, 64-byte sense area");

// --- IOCTL_ATA_PASS_THROUGH_DIRECT
// ------------------------------------------------------------------------

static_assert(ATA_FLAGS_DRDY_REQUIRED == 1 && ATA_FLAGS_DATA_IN == 2, "ATA flags");
static_assert(ATA_FLAGS_DATA_OUT == 4 && ATA_FLAGS_48BIT_COMMAND == 8, "ATA flags");

static_assert(sizeof(ATA_PASS_THROUGH_DIRECT) == ByWidth(40, 48), "ATA_PASS_THROUGH_DIRECT");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, AtaFlags) == 2, "AtaFlags");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, PathId) == 4, "PathId");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, DataTransferLength) == 8, "DataTransferLength");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, TimeOutValue) == 12, "TimeOutValue");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, DataBuffer) == ByWidth(20, 24), "DataBuffer");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, PreviousTaskFile) == ByWidth(24, 32),
              "PreviousTaskFile");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, CurrentTaskFile) == ByWidth(32, 40),
              "CurrentTaskFile");

// --- IOCTL_SCSI_MINIPORT: the Intel RST requests
// ------------------------------------------------------------

static_assert(sizeof(SRB_IO_CONTROL) == 28, "SRB_IO_CONTROL");
static_assert(offsetof(SRB_IO_CONTROL, Signature) == 4, "Signature");
static_assert(sizeof(((SRB_IO_CONTROL*)0)->Signature) == 8, "8-byte signature");
static_assert(offsetof(SRB_IO_CONTROL, Timeout) == 12, "Timeout");
static_assert(offsetof(SRB_IO_CONTROL, ControlCode) == 16, "ControlCode");
static_assert(offsetof(SRB_IO_CONTROL, ReturnCode) == 20, "ReturnCode");
static_assert(offsetof(SRB_IO_CONTROL, Length) == 24, "Length");

static_assert(FIRMWARE_FUNCTION_DOWNLOAD == 2 && FIRMWARE_FUNCTION_ACTIVATE == 3,
              "firmware functions");
static_assert(FIRMWARE_REQUEST_FLAG_CONTROLLER == 1, "controller flag");

static_assert(sizeof(FIRMWARE_REQUEST_BLOCK) == 24, "FIRMWARE_REQUEST_BLOCK");
static_assert(offsetof(FIRMWARE_REQUEST_BLOCK, Function) == 8, "Function");
static_assert(offsetof(FIRMWARE_REQUEST_BLOCK, Flags) == 12, "Flags");
static_assert(offsetof(FIRMWARE_REQUEST_BLOCK, DataBufferOffset) == 16, "DataBufferOffset");
static_assert(offsetof(FIRMWARE_REQUEST_BLOCK, DataBufferLength) == 20, "DataBufferLength");

static_assert(STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2 == 2, "download version 2");
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, Size) == 4, "Size");
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, Offset) == 8, "Offset");
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, BufferSize) == 16, "BufferSize");
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, Slot) == 24, "Slot");
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, ImageSize) == 28, "ImageSize");
static_assert(offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, ImageBuffer) == 32, "image at 32");

static_assert(STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION == 1, "activate version 1");
static_assert(sizeof(STORAGE_FIRMWARE_ACTIVATE) == 12, "STORAGE_FIRMWARE_ACTIVATE");
static_assert(offsetof(STORAGE_FIRMWARE_ACTIVATE, SlotToActivate) == 8, "SlotToActivate");

} // namespace zxlayout
