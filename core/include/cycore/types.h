/*
 * Records and codes shared by every libcycore function family.
 *
 * Plain C99; the layouts are part of the binary interface and are checked at
 * compile time below.
 */
#ifndef CYCORE_TYPES_H
#define CYCORE_TYPES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "cycore/export.h"

CYCORE_EXTERN_C_BEGIN

/* Compile-time check usable from C99 (no _Static_assert there) and C++. */
#ifdef __cplusplus
#define CY_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#else
#define CY_STATIC_ASSERT(cond, name) typedef char cy_static_assert_##name[(cond) ? 1 : -1]
#endif

/*
 * Result code of every libcycore function that can fail. One byte; the values
 * never change. 12 is unassigned and is never returned.
 */
typedef uint8_t cy_error;
enum {
  CY_OK = 0,
  CY_CONNECTION_ERROR = 1,        /* no connection, or a BLE operation failed */
  CY_UNSUPPORTED_DEVICE = 2,      /* the device or its firmware is not supported */
  CY_UNSUPPORTED_SAMPLE_RATE = 3, /* the connected model does not accept the rate */
  CY_BLUETOOTH_DISABLED = 4,      /* Bluetooth is switched off or blocked */
  CY_ADAPTER_NOT_FOUND = 5,       /* no Bluetooth adapter */
  CY_ADAPTER_INDEX_NOT_FOUND = 6, /* the configured adapter_index names no adapter */
  CY_PRECONDITION_FAILED = 7,     /* the operation cannot start in the present state */
  CY_UPDATE_FAILED = 8,           /* the device did not confirm the firmware update */
  CY_UPDATE_EXCEPTION = 9,        /* the firmware update stopped on an error */
  CY_NOT_STREAMING = 10,          /* the operation needs a running stream */
  CY_DEVICE_NOT_FOUND = 11,       /* no device with the requested name */
  CY_NOT_INITIALIZED = 13         /* cy_core_init has not been called */
};

/* Lowest level a log line must have to be written (cy_core_config.log_level). */
typedef uint8_t cy_log_level;
enum {
  CY_LOG_LEVEL_VERBOSE = 0,
  CY_LOG_LEVEL_DEBUG = 1,
  CY_LOG_LEVEL_INFO = 2,
  CY_LOG_LEVEL_WARNING = 3,
  CY_LOG_LEVEL_ERROR = 4
};

/*
 * Receives one log line (see cy_core_set_log_handler): its level, the kernel
 * thread id of the thread that wrote it (the number a log file shows after
 * '#'), the text without level, time or thread prefixes (NUL-terminated,
 * owned by the library, valid only during the call) and the user_data given
 * with the handler.
 */
typedef void (*cy_log_handler)(cy_log_level level, uint64_t thread_id, const char* text, void* user_data);

/* A version: three unsigned bytes, nothing between them. */
/* libcybciconnect's header declares the same record; whichever header comes
 * first defines it. */
#ifndef CY_VERSION_DEFINED
#define CY_VERSION_DEFINED
typedef struct cy_version {
  uint8_t major;
  uint8_t minor;
  uint8_t patch;
} cy_version;
#endif

#define CY_CONFIG_PATH_SIZE 200

/*
 * The library's configuration, exchanged whole through cy_core_get_config and
 * cy_core_set_config. Defaults (in force until the first cy_core_set_config)
 * are given per field. The two paths are NUL-terminated within their 200
 * bytes; the library stores at most 199 characters of each.
 */
typedef struct cy_core_config {
  uint64_t log_buffer_size;              /* 512: bytes of log output buffer; 0 = unbuffered */
  char log_path[CY_CONFIG_PATH_SIZE];    /* "cycore.log", relative to the working directory */
  cy_log_level log_level;                /* CY_LOG_LEVEL_INFO: lowest level written */
  bool append_logs;                      /* false: the log file is truncated when opened */
  bool timestamps_enabled;               /* true: lines start with the local date and time */
  bool autoflush;                        /* false: true flushes the file after every line */
  bool thread_ids_enabled;               /* true: lines carry the writing thread's number */
  uint64_t chunk_size;                   /* 25: samples per chunk handed to the host */
  bool logging_enabled;                  /* false: master switch of the log file */
  char update_path[CY_CONFIG_PATH_SIZE]; /* "../updates/firmware_KESTREL.bin": firmware image */
  uint8_t adapter_index;                 /* 0: index of the Bluetooth adapter to use */
} cy_core_config;

/*
 * Identity of a connected headset, as read at connection time.
 * id: model code 0..5 (255 when the device reported any other code).
 * serial_number: decimal value of the last three characters of the serial text.
 */
typedef struct cy_device_info {
  uint8_t id;
  cy_version hardware_version;
  cy_version firmware_version;
  uint64_t serial_number;
  uint8_t reserved[8]; /* never written by the library */
} cy_device_info;

CY_STATIC_ASSERT(sizeof(cy_version) == 3, cy_version_is_3_bytes);
CY_STATIC_ASSERT(sizeof(cy_core_config) == 432, cy_core_config_is_432_bytes);
CY_STATIC_ASSERT(offsetof(cy_core_config, chunk_size) == 216, cy_core_config_chunk_size_at_216);
CY_STATIC_ASSERT(offsetof(cy_core_config, adapter_index) == 425, cy_core_config_adapter_at_425);
CY_STATIC_ASSERT(sizeof(cy_device_info) == 24, cy_device_info_is_24_bytes);
CY_STATIC_ASSERT(offsetof(cy_device_info, serial_number) == 8, cy_device_info_serial_at_8);

CYCORE_EXTERN_C_END

#endif /* CYCORE_TYPES_H */
