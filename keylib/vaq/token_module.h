/* SPDX-License-Identifier: Apache-2.0 */
// The PKCS#11 modules this process loaded, and the tokens it logged in to:
// each module is loaded once per process, each token gets one read-only
// session and one login, kept until the process ends (a module keeps state
// that unloading would cut off, and a login is what costs: a file-store token
// rewrites its token file at each one). Only when the module has lost the
// token (it was removed, or its files vanished and came back) is the module
// started again, which ends every session and login it had.
#ifndef HXB_VAQ_TOKEN_MODULE_H
#define HXB_VAQ_TOKEN_MODULE_H

#include <p11-kit/pkcs11.h>

#include <mutex>
#include <string>

#include "host.h"
#include "status.h"
#include "token_key.h"

namespace vaq {

struct Module;

// One token of a module, with the process's session on it. Every call on the
// session is made holding `mutex`: a PKCS#11 session is not for two threads.
struct Token {
    Module *module = nullptr;
    std::string label;
    std::string serial;  // with the label, what tells this token from another
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    bool loginRequired = false;
    bool protectedPath = false;  // the token takes its PIN itself (a keypad)
    std::string loginSource;     // the pin-source the session logged in with
    // Raised whenever the session is dropped or the module restarted: an
    // object handle found before is not to be used after.
    uint64_t generation = 0;
    std::mutex mutex;

    CK_FUNCTION_LIST *f() const;
    // Opens the session and logs in when that is not done yet, or was done
    // with another pin-source than the URI's; the caller holds `mutex`.
    // Reads the PIN from the URI's pin-source only then.
    Status ready(const Host &host, const TokenUri &uri);
    // Forgets a session the module no longer knows (the token was removed,
    // the process forked); the next ready() opens another.
    void drop();
};

// The path of the module a URI names (module-path, or module-name through
// the p11-kit configuration), judged: only a module root installed is used.
Status module_path_of(const TokenUri &uri, std::string &path);
// The one token labelled as the URI says (and of its manufacturer, model,
// serial and slot-id where it gives them), in its module; two such tokens are
// refused as ambiguous (VAQ_ERR_TOKEN_KEY), before either is asked for a PIN.
// The token is found in its module, loaded and initialised
// when this is the process's first use of them. The token stays for the
// process's life. When the module no longer shows the token, the module is
// started again (at most once a second) and asked once more: a module that
// lost a token may show it again only after that.
Status find_token(const TokenUri &uri, Token *&token);
// Starts the token's module again (at most once a second): every session
// and login of its tokens ends, and the next use opens and logs in anew. The
// caller holds no token's mutex.
void restart_module(Token &token);

// A PKCS#11 return value as a name ("CKR_PIN_INCORRECT"), or its number.
const char *ckr_name(CK_RV rv);
// Whether rv says the session or login is gone, so that opening another may help.
bool session_gone(CK_RV rv);
// Whether a failed call is worth one more try on a new session: the session
// or login is gone, or an operation a lost answer left open blocks the next.
bool retry_on_new_session(CK_RV rv);

}  // namespace vaq

#endif
