/* SPDX-License-Identifier: Apache-2.0 */
// Marks an exported definition: C linkage and default visibility (the build
// hides everything else, and the export list limits the dynamic symbol table).
#ifndef HXB_VAQ_EXPORT_H
#define HXB_VAQ_EXPORT_H

#define HXB_EXPORT extern "C" __attribute__((visibility("default")))

#endif
