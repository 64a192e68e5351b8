/* SPDX-License-Identifier: Apache-2.0 */
// Marks an exported definition of either key library: C linkage and default
// visibility (the build hides everything else, and each library's export
// list limits its dynamic symbol table).
#ifndef HXB_EXPORT_H
#define HXB_EXPORT_H

#define HXB_EXPORT extern "C" __attribute__((visibility("default")))

#endif
