// SPDX-License-Identifier: Apache-2.0
#include "host/host_services.h"

#include "telmor_vaq_api.h"

namespace tv {

void fill_host_services(VaqHostServices &table) {
    table.unused1 = nullptr;
    table.unused2 = nullptr;
    table.unused3 = nullptr;
    table.fopen_fn = APP_Fopen;
    table.fclose_fn = APP_Fclose;
    table.fread_fn = APP_Fread;
    table.fwrite_fn = APP_Fwrite;
    table.fflush_fn = APP_Fflush;
    table.fremove_fn = APP_Fremove;
    table.ftell_fn = APP_Ftell;
    table.fseek_fn = APP_Fseek;
    table.feof_fn = APP_Feof;
    table.ferrno_fn = APP_Ferrno;
    table.fexist_fn = APP_Fexist;
    table.create_lock_fn = Telmor_Create_Lock;
    table.destroy_lock_fn = Telmor_Destroy_Lock;
    table.add_lock_fn = Telmor_Add_Lock;
    table.release_lock_fn = Telmor_Release_Lock;
    table.create_pro_lock_fn = Telmor_Create_Pro_Lock;
    table.destroy_pro_lock_fn = Telmor_Destroy_Pro_Lock;
    table.add_pro_lock_fn = Telmor_Add_Pro_Lock;
    table.release_pro_lock_fn = Telmor_Release_Pro_Lock;
    table.wrilog_fn = APP_WriLog;
    table.recv_notify_fn = APP_RecvNotify;
    table.do_events_fn = APP_DoEvents;
    table.unused26 = nullptr;
    table.get_entropy_fn = APP_GetEntropy;
    table.cleanup_entropy_fn = APP_CleanupEntropy;
    table.gmtime_fn = APP_GmTimeSafe;
}

}  // namespace tv
