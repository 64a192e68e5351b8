/* SPDX-License-Identifier: Apache-2.0 */
#ifndef TELMOR_VAQ_HOST_LOG_PATH_H
#define TELMOR_VAQ_HOST_LOG_PATH_H

namespace tv {

// True once g_log_name holds this process's log path, building it first if
// need be. Until the process id and role are known every call tries anew.
bool log_path_ready();

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_LOG_PATH_H
