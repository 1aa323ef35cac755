/*
 * Library state, configuration, logging and versions of libcycore.
 *
 * Threads: cy_core_init, cy_core_close, cy_core_get_config and
 * cy_core_set_config change process-wide state without locking it. Call them
 * while no other thread uses the library (typically once at start-up and once
 * at shut-down). cy_core_get_version, cy_is_version_compatible and
 * cy_core_set_stdout_diagnostics, cy_core_set_log_handler (not from inside
 * the handler) and cy_core_last_error_text may be called from any thread at
 * any time, also before cy_core_init.
 */
#ifndef CYCORE_CORE_H
#define CYCORE_CORE_H

#include "cycore/export.h"
#include "cycore/types.h"

CYCORE_EXTERN_C_BEGIN

/*
 * Initialises the library: applies the current configuration (the defaults,
 * or the record left by an earlier cy_core_set_config), selects the BLE
 * backend named by the environment variable CYCORE_BLE_BACKEND, creates the
 * scan table and, when logging is enabled, writes the configuration report.
 * Does not block beyond opening the log file.
 * Returns CY_OK, or CY_PRECONDITION_FAILED when the library is already
 * initialised (nothing changed) or when memory ran out (logged; the library
 * stays uninitialised).
 */
CYCORE_API cy_error cy_core_init(void);

/*
 * Shuts the library down: logs "Calyra Core is closing", stops logging, frees
 * the scan table (pointers from cy_core_scan become invalid), flushes and
 * closes the log file. The configuration survives for a later cy_core_init.
 * Returns CY_OK, or CY_NOT_INITIALIZED (after printing a line on standard
 * output, see cy_core_set_stdout_diagnostics) when the library is not
 * initialised.
 */
CYCORE_API cy_error cy_core_close(void);

/*
 * Copies the current configuration into *config (out, caller-owned).
 * Returns CY_OK, CY_NOT_INITIALIZED with *config untouched, or
 * CY_PRECONDITION_FAILED when config is null.
 */
CYCORE_API cy_error cy_core_get_config(cy_core_config* config);

/*
 * Replaces the whole configuration with a copy of *config and applies it:
 * with logging_enabled the log file is reopened (truncated unless append_logs)
 * and the configuration report is written; with logging_enabled false,
 * logging stops and the log file is closed. The caller keeps ownership of
 * *config. Paths longer than 199 characters are cut to 199.
 * Returns CY_OK, CY_NOT_INITIALIZED with the configuration unchanged, or
 * CY_PRECONDITION_FAILED when config is null.
 * A log file that cannot be opened is not reported; its lines are lost.
 */
CYCORE_API cy_error cy_core_set_config(const cy_core_config* config);

/*
 * Hands every log line of at least min_level to handler, beside the log file
 * (when cy_core_config.logging_enabled) or instead of it (when not): the
 * host's own logging receives what the file would hold, whatever the file's
 * configuration. handler NULL removes the handler (min_level is then
 * ignored). The handler runs on the thread that writes the line (a host
 * thread inside a cy_ call, or one of the BLE threads listed in the README),
 * possibly on several threads at once, while the library holds its own locks:
 * it must return quickly and must not call any cy_ function (a line that such
 * a call writes would reach the file only). A replaced or removed handler is
 * not called after this function returns: it waits for calls in progress.
 * Callable from any thread, before or after cy_core_init (cy_core_close does
 * not remove it), but not from inside the handler.
 * Returns CY_OK, or CY_PRECONDITION_FAILED (nothing changed) for a min_level
 * above CY_LOG_LEVEL_ERROR or a call from inside the handler.
 */
CYCORE_API cy_error cy_core_set_log_handler(cy_log_handler handler, cy_log_level min_level, void* user_data);

/*
 * Chooses where the library's two standard-output diagnostics go:
 *   - the configuration record sent by cy_eeg_manager_load_config,
 *     "Configs(E): b|b|...|";
 *   - one line per gap in a stream (outside impedance mode), the headset's
 *     name, "|||||MISSED||||| ", the count of gaps of the manager, "last: ",
 *     the expected sample number, " current: ", the received one.
 * enabled true (the default): both are written to standard output, flushed.
 * enabled false: neither is written to standard output; the record stays in
 * the log's INFO line "Config(E): ..." that load_config always writes, and
 * each gap line is written to the log at WARNING (with the manager prefix).
 * Lost samples remain visible in the chunks either way (filler samples with
 * CY_CHANNEL_STREAMING 0).
 * The switch covers every write the library makes to the process's standard
 * output and standard error, not only these two: with enabled false the
 * library writes nothing to either. The others (a failed connect's
 * "Error while connecting: ..." on standard output, cy_core_close's "Core not
 * initialized. ..." on standard output, a firmware image transfer's error on
 * standard error) then go to the log (and the log handler) at ERROR, or
 * WARNING for cy_core_close's line, unless the log already holds them.
 * Callable from any thread, before or after cy_core_init; the choice holds
 * for the whole process (cy_core_close does not reset it) and takes effect
 * for the next line. Returns CY_OK.
 */
CYCORE_API cy_error cy_core_set_stdout_diagnostics(bool enabled);

/*
 * The sentence that explains this thread's last failure: after a cy_ function
 * that returns a cy_error returned other than CY_OK, what went wrong in that
 * case and, where there is one, the way out (the sizes when a packet does not
 * fit the link, the names seen when no device has the requested name, the key
 * and value of a malformed virtual device list, the path of a firmware image
 * that cannot be read, the state for a call at the wrong time). "" after a
 * success. Each thread has its own text; the string belongs to the library
 * and stays valid until this thread's next cy_ call. The result codes and log
 * lines are the same whether or not a host reads it.
 * Any thread, any time, also before cy_core_init; never returns NULL.
 */
CYCORE_API const char* cy_core_last_error_text(void);

/*
 * The library's own version, {3, 6, 1}. The record is static and owned by the
 * library; the same pointer comes back on every call.
 */
CYCORE_API const cy_version* cy_core_get_version(void);

/*
 * True exactly when *a and *b have the same major and minor numbers (patch
 * is ignored; the relation is symmetric). Neither pointer may be null.
 */
CYCORE_API bool cy_is_version_compatible(const cy_version* a, const cy_version* b);

CYCORE_EXTERN_C_END

#endif /* CYCORE_CORE_H */
