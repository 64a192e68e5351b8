/* SPDX-License-Identifier: Apache-2.0
 *
 * A key's rollout to a fleet through etcd, as a Promela model: the
 * coordinator of `fleet rotate` / `fleet retire`, each node's agent, and the
 * operator's admissions and removals, with agent crashes, lost watches,
 * lapsed report leases and a node lost for good.
 *
 * etcd (one revision counter; every write of the fleet's state is one event):
 *   - members/NODE           admitted members (ADMIT, REMOVE)
 *   - keys/ID                a key's state: staged, active, old (was active,
 *                            still held for decryption), retired
 *   - reports/NODE           each member's report (keys held, active key),
 *                            under the member's lease: it may lapse
 * Reports are not part of the event log the agents watch: only the
 * coordinator reads them.
 *
 * The coordinator rolls K2 out over K1 (active everywhere at the start):
 *   stage K2; wait until the range read at revision R shows every admitted
 *   member's report holding K2; activate K2 (K1 becomes old) by a transaction
 *   that compares the members' mod revisions with R and K2's state with
 *   "staged"; wait until every admitted member reports K2 active; retire K1
 *   only when the operator asks, after every admitted member reports an
 *   active key other than K1 (again a transaction on the read's revision).
 * Waiting is a blocking read: the coordinator wakes when the state changes,
 * as it would on its watch of the prefix.
 *
 * An agent (telmor-vaq fleet agent on one node):
 *   - after it starts, restarts or loses its watch: waits for its admission,
 *     reads the current state at revision R (one range read), imports every
 *     staged, active or old key it lacks (the keystore refuses a key deleted
 *     here), activates the fleet's active key, deletes retired keys it holds
 *     (never its active key), reports, then watches from R + 1;
 *   - on each event: applies it to the keystore, then reports;
 *   - a lapsed lease: a new lease and the report put again;
 *   - its own removal: stops.
 * Each keystore change is one step (the key library makes it atomic, and
 * every process of the node follows it at once); a crash between any two
 * steps keeps the keystore and loses everything else. A node's processes
 * serve (encrypt and decrypt other nodes' texts) once its agent has caught up
 * for the first time after its admission; an agent's crash does not stop
 * them, a node's loss does.
 *
 * Checked (pan, safety, with invalid end states):
 *   - no serving admitted member ever encrypts under a key that another
 *     serving admitted member lacks (check(), after every step that can
 *     break it);
 *   - a member's active key is one it holds;
 *   - the rollout completes whenever members are up: every process's wait
 *     that may last for good is an end label (an agent's watch, a node never
 *     admitted, the coordinator waiting to be asked to retire); a lost node
 *     is removed by the operator, so a coordinator that waits for ever is an
 *     invalid end state.
 *
 * Broken protocols, each of which scripts/check-model requires to fail:
 *   -DEARLY_ACTIVATE   the coordinator activates without waiting for reports
 *   -DCOUNT_REPORTS    the coordinator counts the reports holding the key
 *                      against the number of admitted members, so a removed
 *                      member's lingering report stands in for a member
 *                      that has not reported
 *   -DEARLY_RETIRE     the coordinator retires the old key as soon as it is
 *                      asked, without waiting for every member to report
 *                      the new key active
 *   -DNO_NEW_LEASE     an agent whose lease lapsed does not put its report
 *                      again: the rollout waits for good (an invalid end
 *                      state, which shows that completion is checked)
 *   -DREPLAY           after a restart or a lost watch the agent replays the
 *                      fleet's events from the first revision instead of
 *                      reading the current state
 *   -DEARLY_JOIN       a new node's processes start before its agent has
 *                      caught up
 */

#ifndef NM
#define NM 3            /* nodes: 0 and 1 admitted at the start, 2 may be admitted */
#endif
/* An agent's crash and its lost watch (a node cut off and back) are one
 * fault here: either way the agent starts over from the current state and
 * the keystore stays. */
#ifndef MAXCRASH
#define MAXCRASH 1      /* agent crashes or lost watches */
#endif
#ifndef MAXLAPSE
#define MAXLAPSE 1      /* report leases that lapse */
#endif
#ifndef MAXLOSS
#define MAXLOSS 0       /* nodes lost for good (the operator then removes them) */
#endif
#define MAXEV 12

#define K1 1
#define K2 2
#define BIT(k) (1 << (k))

/* Events, i.e. writes to the fleet's state. */
#define E_ADMIT 1
#define E_REMOVE 2
#define E_STAGE 3
#define E_ACTIVATE 4
#define E_RETIRE 5

/* A key's state in etcd. */
#define K_NONE 0
#define K_STAGED 1
#define K_ACTIVE 2
#define K_OLD 3
#define K_RETIRED 4

/* etcd */
byte rev = 0;                   /* current revision = number of events */
byte ev_t[MAXEV];
byte ev_a[MAXEV];
bool adm[NM];
byte memb_rev = 0;              /* highest mod revision among the member keys */
byte kst[3];                    /* by key id; 0 unused */
bool rep_on[NM];
byte rep_has[NM];
byte rep_act[NM];

/* The nodes */
byte has[NM];                   /* keys in the node's keystore */
byte gone[NM];                  /* keys deleted here, never imported again */
byte act[NM];                   /* the keystore's active key */
bool up[NM];
bool serves[NM];

/* Faults and the operator */
bool crash_req[NM];
byte crashes = 0;
byte lapses = 0;
byte losses = 0;
bool retire_asked = false;

inline put_ev(t, a) {
    assert(rev < MAXEV);
    ev_t[rev] = t;
    ev_a[rev] = a;
    rev++
}

#define SERVING(m) (adm[m] && up[m] && serves[m])
#define HOLDS(n, k) ((k) == 0 || (has[n] & BIT(k)) != 0)
#define SAFE(m, n) (!(SERVING(m) && SERVING(n)) || HOLDS(n, act[m]))

/* The revision at which the fleet was set up: members 0 and 1 admitted, K1
 * staged and activated, both agents caught up and reporting. */
#define INIT_REV 4

init {
    d_step {
        put_ev(E_ADMIT, 0); put_ev(E_ADMIT, 1); memb_rev = 2;
        put_ev(E_STAGE, K1); put_ev(E_ACTIVATE, K1);
        kst[K1] = K_ACTIVE;
        adm[0] = true; adm[1] = true;
        has[0] = BIT(K1); has[1] = BIT(K1);
        act[0] = K1; act[1] = K1;
        rep_on[0] = true; rep_on[1] = true;
        rep_has[0] = BIT(K1); rep_has[1] = BIT(K1);
        rep_act[0] = K1; rep_act[1] = K1;
        serves[0] = true; serves[1] = true;
        up[0] = true; up[1] = true; up[2] = true
    }
    atomic {
        run Agent(0); run Agent(1); run Agent(2);
        run Coordinator(); run Operator(); run Faults()
    }
}

/* The property, checked after every step that can break it: a key made
 * active, a key deleted, a node's processes starting. (Admissions, removals
 * and losses only shrink the set of serving members or add one that does
 * not serve yet.) */
hidden byte every_key_held;      /* named so that a failure reads as what it means */
inline check() {
    every_key_held = (SAFE(0, 1) && SAFE(0, 2) && SAFE(1, 0) && SAFE(1, 2) && SAFE(2, 0) && SAFE(2, 1) &&
                      HOLDS(0, act[0]) && HOLDS(1, act[1]) && HOLDS(2, act[2]));
    assert(every_key_held)
}

/* The keystore's import: a key deleted here is refused. */
inline import(m, k) {
    if
    :: (gone[m] & BIT(k)) == 0 -> has[m] = has[m] | BIT(k)
    :: else -> skip
    fi
}

/* The keystore's activation: only of a key it holds. */
inline activate(m, k) {
    if
    :: (has[m] & BIT(k)) != 0 -> act[m] = k; check()
    :: else -> skip
    fi
}

/* The keystore's deletion: never of its active key. */
inline retire(m, k) {
    if
    :: (has[m] & BIT(k)) != 0 && act[m] != k ->
        has[m] = has[m] & ~BIT(k); gone[m] = gone[m] | BIT(k); check()
    :: else -> skip
    fi
}

/* A report is put under the member's lease; etcd refuses it from a node no
 * longer admitted (its user's rights go with its membership). */
inline report(m) {
    if
    :: adm[m] -> rep_on[m] = true; rep_has[m] = has[m]; rep_act[m] = act[m]
    :: else -> skip
    fi
}

/* An agent's crash or lost watch may come between any two of its steps: the
 * keystore stays, the agent's memory goes. A lost node's agent stops. */
#define FAULTPOINT if :: crash_req[m] || !up[m] -> goto down :: else -> skip fi

proctype Agent(byte m) {
    byte cur = 0;               /* revision the keystore has been brought to */
    byte R = 0;
    byte s1 = 0;                /* K1's and K2's state as read at R */
    byte s2 = 0;

    if
    :: m < 2 -> cur = INIT_REV; goto watch      /* the first two start caught up */
    :: else -> skip
    fi;
again:
#ifdef REPLAY
    if
    :: serves[m] -> cur = 0; goto watch
    :: else -> skip
    fi;
#endif
end_admit:
    if
    :: adm[m]
    :: crash_req[m] || !up[m] -> goto down
    fi;
#ifdef EARLY_JOIN
    atomic { serves[m] = true; check() };
#endif
    /* Catch up from the current state: one range read at R. */
    atomic { R = rev; s1 = kst[K1]; s2 = kst[K2] };
    FAULTPOINT;
    atomic {    /* one import of the keys it lacks */
        if :: s1 == K_STAGED || s1 == K_ACTIVE || s1 == K_OLD -> import(m, K1) :: else -> skip fi;
        if :: s2 == K_STAGED || s2 == K_ACTIVE || s2 == K_OLD -> import(m, K2) :: else -> skip fi
    };
    FAULTPOINT;
    atomic {    /* the activation, then the deletion of retired keys */
        if
        :: s1 == K_ACTIVE -> activate(m, K1)
        :: s2 == K_ACTIVE -> activate(m, K2)
        :: else -> skip
        fi;
        if :: s1 == K_RETIRED -> retire(m, K1) :: else -> skip fi;
        if :: s2 == K_RETIRED -> retire(m, K2) :: else -> skip fi
    };
    FAULTPOINT;
    atomic { report(m); serves[m] = true; check(); cur = R; R = 0; s1 = 0; s2 = 0 };
watch:
end_watch:
    do
    :: atomic {
        cur < rev ->
        /* Other members' admissions and removals do not concern it. */
        do
        :: cur < rev - 1 && (ev_t[cur] == E_ADMIT || (ev_t[cur] == E_REMOVE && ev_a[cur] != m)) -> cur++
        :: else -> break
        od;
        if
        :: ev_t[cur] == E_STAGE -> import(m, ev_a[cur])
        :: ev_t[cur] == E_ACTIVATE -> activate(m, ev_a[cur])
        :: ev_t[cur] == E_RETIRE -> retire(m, ev_a[cur])
        :: ev_t[cur] == E_REMOVE && ev_a[cur] == m -> goto removed
        :: else -> skip
        fi;
        cur++;
        report(m)
       }
#ifndef NO_NEW_LEASE
    :: atomic { adm[m] && !rep_on[m] -> report(m) }     /* a new lease */
#endif
    :: crash_req[m] || !up[m] -> goto down
    od;
down:
    if
    :: !up[m] -> goto removed
    :: else -> skip
    fi;
    atomic { crash_req[m] = false; cur = 0; R = 0; s1 = 0; s2 = 0 };
    goto again;
removed:
end_removed:
    skip
}

/* Every admitted member's report holds key k (or, broken, as many reports
 * hold it as there are admitted members). */
#ifdef COUNT_REPORTS
#define COUNT_HOLD(m, k) (rep_on[m] && (rep_has[m] & BIT(k)) != 0)
#define ALL_HOLD(k) ((COUNT_HOLD(0, k) + COUNT_HOLD(1, k) + COUNT_HOLD(2, k)) >= (adm[0] + adm[1] + adm[2]))
#else
#define M_HOLDS(m, k) (!adm[m] || (rep_on[m] && (rep_has[m] & BIT(k)) != 0))
#define ALL_HOLD(k) (M_HOLDS(0, k) && M_HOLDS(1, k) && M_HOLDS(2, k))
#endif
#define M_ACTIVE(m, k) (!adm[m] || (rep_on[m] && rep_act[m] == (k)))
#define ALL_ACTIVE(k) (M_ACTIVE(0, k) && M_ACTIVE(1, k) && M_ACTIVE(2, k))
#define M_NOT_ACTIVE(m, k) (!adm[m] || (rep_on[m] && rep_act[m] != (k)))
#define NONE_ACTIVE(k) (M_NOT_ACTIVE(0, k) && M_NOT_ACTIVE(1, k) && M_NOT_ACTIVE(2, k))

proctype Coordinator() {
    byte R = 0;
    atomic { kst[K2] = K_STAGED; put_ev(E_STAGE, K2) };
read_reports:
#ifdef EARLY_ACTIVATE
    R = rev;
#else
    atomic { ALL_HOLD(K2) -> R = rev };
#endif
    atomic {
        if
        :: memb_rev <= R && kst[K2] == K_STAGED ->
            kst[K1] = K_OLD; kst[K2] = K_ACTIVE; put_ev(E_ACTIVATE, K2); R = 0
        :: else -> R = 0; goto read_reports      /* lost the race: read again */
        fi
    };
#ifndef EARLY_RETIRE
    atomic { ALL_ACTIVE(K2) };
#endif
end_asked:
    retire_asked;
read_active:
#ifdef EARLY_RETIRE
    R = rev;
#else
    atomic { NONE_ACTIVE(K1) -> R = rev };
#endif
    atomic {
        if
        :: memb_rev <= R && kst[K1] == K_OLD -> kst[K1] = K_RETIRED; put_ev(E_RETIRE, K1); R = 0
        :: else -> R = 0; goto read_active
        fi
    }
}

/* The operator: admits node 2 and removes node 1 at any moment (or not at
 * all), asks for the retirement at any moment, and removes a lost node. */
proctype Operator() {
    bool admitted = false;
    bool removed = false;
end:
    do
#ifndef NO_ADMIT
    :: atomic { !admitted -> admitted = true; adm[2] = true; put_ev(E_ADMIT, 2); memb_rev = rev }
#endif
#ifndef NO_REMOVE
    :: atomic { !removed && adm[1] -> removed = true; adm[1] = false; put_ev(E_REMOVE, 1) }
#endif
    :: atomic { !retire_asked -> retire_asked = true }
    :: atomic { adm[0] && !up[0] -> adm[0] = false; put_ev(E_REMOVE, 0) }
    :: atomic { adm[1] && !up[1] -> adm[1] = false; put_ev(E_REMOVE, 1) }
    :: atomic { adm[2] && !up[2] -> adm[2] = false; put_ev(E_REMOVE, 2) }
    od
}

proctype Faults() {
    byte m = 0;
end:
    do
    :: atomic { crashes < MAXCRASH -> crashes++;
                if :: m = 0 :: m = 1 :: m = 2 fi; crash_req[m] = true; m = 0 }
    :: atomic { lapses < MAXLAPSE -> lapses++;
                if :: m = 0 :: m = 1 :: m = 2 fi; rep_on[m] = false; m = 0 }
    :: atomic { losses < MAXLOSS -> losses++;
                if :: m = 0 :: m = 1 :: m = 2 fi; up[m] = false; m = 0 }
    od
}
