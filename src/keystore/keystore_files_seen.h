/* SPDX-License-Identifier: Apache-2.0 */
// What the keystore copies looked like when this process last loaded them,
// so that a key the keystore in memory lacks leads to a reload only when the
// keystore may have gained it since.
#ifndef TELMOR_VAQ_KEYSTORE_KEYSTORE_FILES_SEEN_H
#define TELMOR_VAQ_KEYSTORE_KEYSTORE_FILES_SEEN_H

namespace tv {

// Notes both copies' identity (device, inode), size and change time, one stat
// each. Called before every load reads them: a change written while the load
// runs then shows as a difference afterwards, never the other way round.
void note_keystore_files();

// Whether the keystore may hold more than this process loaded: the shared
// version moved from this process's own, or either copy's identity, size or
// change time differs from what the last load noted (one stat per copy; a
// look that found nothing new stands for a millisecond).
bool keystore_may_have_changed();

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_KEYSTORE_FILES_SEEN_H
