/* SPDX-License-Identifier: Apache-2.0 */
// The services that the host hands the key-management library through its
// table (vaq/vaq_host_services.h). The file, entropy and time services are
// internal: the key library reaches them only through the table. The lock and
// log services of the table are exported and declared in telmor_vaq_api.h.
#ifndef TELMOR_VAQ_HOST_HOST_SERVICES_H
#define TELMOR_VAQ_HOST_HOST_SERVICES_H

#include <cstdint>
#include <ctime>

#include "vaq/vaq_host_services.h"

namespace tv {

// Fills every slot of the table: the services below, the lock and log
// services, and null in the unused slots 1-3 and 26.
void fill_host_services(VaqHostServices &table);

// Files (slots 4-14). A handle holds one descriptor, opened close-on-exec.
// Modes: 0 read; 1 write, created 0600 if missing, never truncated; 2 read
// and write, created if missing. Any other mode gives null.
void *APP_Fopen(const char *path, int32_t mode);
// Closes the descriptor and releases the handle; the close's result.
int32_t APP_Fclose(void *handle);
// 1 only when exactly count bytes were read in one read call.
int32_t APP_Fread(void *buf, uint64_t count, void *handle);
// 1 only when count bytes were written in one call and then synced to disk.
int32_t APP_Fwrite(const void *data, uint64_t count, void *handle);
int32_t APP_Fflush(void *handle);
int32_t APP_Fremove(const char *path);
int64_t APP_Ftell(void *handle);
// Origins 0 start, 1 current, 2 end; the new offset from the start, or -1.
int64_t APP_Fseek(void *handle, int64_t offset, int32_t origin);
// Sets *atEnd to 1 when the position is the end of the file, without moving.
int32_t APP_Feof(void *handle, int32_t *atEnd);
// The calling thread's errno; the handle is not used.
int32_t APP_Ferrno(void *handle);
// 1 when the path exists, whether or not it may be read.
int32_t APP_Fexist(const char *path);

// Entropy (slots 27, 28): a malloc'd buffer of size random bytes from the
// private generator; slot 28 wipes and frees it.
int32_t APP_GetEntropy(unsigned char **out, uint64_t size);
void APP_CleanupEntropy(unsigned char *buf, uint64_t size);
// Fills count bytes from the private generator: 0, or -1 (logged).
int32_t gen_random_bytes(unsigned char *buf, int32_t count);

// UTC time (slot 29): 1 when *t was broken down into *out.
int32_t APP_GmTimeSafe(const time_t *t, struct tm *out);

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_HOST_SERVICES_H
