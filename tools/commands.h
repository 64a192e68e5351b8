/* SPDX-License-Identifier: Apache-2.0 */
#ifndef TELMOR_VAQ_TOOL_COMMANDS_H
#define TELMOR_VAQ_TOOL_COMMANDS_H

#include "cli.h"

namespace cli {

int cmd_init(const Options &opt);
int cmd_encrypt(const Options &opt);
int cmd_decrypt(const Options &opt);
int cmd_keys(const Options &opt);
int cmd_domains(const Options &opt);
int cmd_root_key(const Options &opt);
int cmd_create_key(const Options &opt);
int cmd_register_key(const Options &opt);
int cmd_activate_key(const Options &opt);
int cmd_delete_key(const Options &opt);
int cmd_rotate_root_key(const Options &opt);
int cmd_export(const Options &opt);
int cmd_import(const Options &opt);
int cmd_check(const Options &opt);
int cmd_notify(const Options &opt);
int cmd_status(const Options &opt);

}  // namespace cli

#endif
