/* Symbol export and C linkage helpers shared by the libcycore headers. */
#ifndef CYCORE_EXPORT_H
#define CYCORE_EXPORT_H

#if defined(__GNUC__)
#define CYCORE_API __attribute__((visibility("default")))
#else
#define CYCORE_API
#endif

#ifdef __cplusplus
#define CYCORE_EXTERN_C_BEGIN extern "C" {
#define CYCORE_EXTERN_C_END }
#else
#define CYCORE_EXTERN_C_BEGIN
#define CYCORE_EXTERN_C_END
#endif

#endif /* CYCORE_EXPORT_H */
