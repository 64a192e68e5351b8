/* SPDX-License-Identifier: Apache-2.0
 *
 * The node-wide process lock (src/host/process_lock.cpp) and the keystore
 * fence inside it (src/host/keystore_fence.cpp) as a Promela model.
 *
 * NPROC processes each take the lock, enter the keystore's critical section
 * and give the lock back, ROUNDS times. Nothing is assumed about speed:
 *  - stalls: any process may be overtaken by any number of steps of the
 *    others at any step. A waiter that sees a set unstamped may therefore
 *    give up on it (the bound passed) while its creator is alive and merely
 *    stopped, and remove it just after the creator stamped and took it. Such
 *    early give-ups are bounded in number (MAXSTALLS) only to keep the search
 *    finite; past that a waiter gives up only on a dead creator.
 *  - kills: between any two system calls a process may be killed (MAXKILLS
 *    in all); the kernel applies its SEM_UNDO adjustments and drops its file
 *    lock, and the process starts afresh in its slot, as a host restarted by
 *    its supervisor would.
 *  - the operator's ipcrm: the set under the key may be removed at any moment
 *    (MAXRMIDS times), held or not.
 *  - spurious removal answers: any semget/semctl/semop step may answer
 *    EIDRM without acting while the set stands (MAXSPURIOUS in all).
 * A process that ends applies its undo adjustments, as exit does.
 *
 * Checked (spin -a, then pan for safety with invalid end states):
 *  - at most one process is ever inside the keystore's critical section (the
 *    property that matters; the monitor and the assertion on entry);
 *  - no process waits for good: pan reports an invalid end state if one does
 *    (a lock whose holder died is free; no process waits on a lock it holds
 *    itself, e.g. after a give-back answered as failed);
 *  - a semaphore's value never exceeds 1, and a creator's stamp finds 0;
 *  - when all processes are done, nobody holds anything and the set under
 *    the key, if any, is free.
 *
 * What the semaphore alone still guarantees (-DNO_STALLS -DNO_IPCRM, which
 * scripts/check-model also runs, with kills and spurious answers): when no
 * creator stalls for the whole bound and nobody removes a held set, at most
 * one process holds the semaphore (the monitor checks it too), and the
 * points above hold without the fence. With stalls or an ipcrm two processes
 * can hold sets that were each the lock; only the fence (the kernel's lock on
 * the role's keystore lock file, taken after the semaphore and given back
 * before it) keeps them apart where it matters. -DNO_FENCE shows that.
 *
 * Each step names the code it stands for. One step is one system call: the
 * kernel makes each one atomic, nothing more.
 *
 * Broken protocols, each of which scripts/check-model requires to fail:
 *   -DSETVAL_REPAIR     the old repair: creator and a waiter that gave up free
 *                       the set with SETVAL (which also clears every undo on
 *                       it), the waiter's last look and its SETVAL apart
 *   -DSTAMP_FIRST       the creator stamps before the value is set, and frees
 *                       the set in a later call
 *   -DNONEXCL_CREATE    a set is re-created without IPC_EXCL, so two processes
 *                       each take themselves for its creator
 *   -DNO_REGET          a take that meets EIDRM is answered as taken
 *   -DUNDO_LESS_GIVEBACK  the lock is given back without SEM_UNDO
 *   -DNO_FENCE          the keystore's lock file is not taken (fails with
 *                       stalls or an ipcrm)
 *   -DNO_GIVEBACK_RETRY a give-back answered EIDRM is taken as done while the
 *                       set stands: the process waits for itself at its
 *                       next take
 */

#ifndef NPROC
#define NPROC 2
#endif
#ifndef ROUNDS
#define ROUNDS 1
#endif
#ifndef MAXKILLS
#define MAXKILLS 1
#endif
#ifdef NO_STALLS
#define MAXSTALLS 0
#endif
#ifndef MAXSTALLS
#define MAXSTALLS 1
#endif
#ifdef NO_IPCRM
#define MAXRMIDS 0
#endif
#ifndef MAXRMIDS
#define MAXRMIDS 1
#endif
#ifndef MAXSPURIOUS
#define MAXSPURIOUS 1
#endif
/* How often one take may go by the key again (kMaxRemovals in the code). */
#ifndef MAXREGETS
#define MAXREGETS 4
#endif
/* Where the semaphore alone must keep its holders to one. */
#ifdef NO_STALLS
#ifdef NO_IPCRM
#define SEMAPHORE_ONLY 1
#endif
#endif
#ifndef SEMAPHORE_ONLY
#define SEMAPHORE_ONLY 0
#endif
#define MAXSETS (1 + MAXKILLS + MAXSTALLS + MAXRMIDS + MAXSPURIOUS + NPROC)
#define NSETS (MAXSETS + 1)

/* The kernel's state. */
byte keySet = 0;                 /* id of the set under the key; 0: none */
byte nextId = 0;                 /* ids are never reused */
bool exists[NSETS];
byte val[NSETS];                 /* the semaphore's value */
bool stamped[NSETS];             /* sem_otime != 0 */
short adj[NPROC * NSETS];        /* SEM_UNDO adjustment of each process on each set */
byte fileHolder = 0;             /* process + 1 holding the keystore lock file; 0: none */

/* Bookkeeping of the model, not of the code. */
bool creatorAlive[NSETS];        /* its creator lives and has not stamped it yet */
byte creating[NPROC];            /* the set a process created and has not stamped */
bool holds[NPROC];               /* believes it holds the semaphore */
bool inCritical[NPROC];
byte holders = 0;
byte inside = 0;
byte kills = 0;
byte stalls = 0;
byte rmids = 0;
byte spurious = 0;
byte finished = 0;

#define ADJ(p, s) adj[(p) * NSETS + (s)]

/* A removal answered for a set that stands: the step does nothing. */
#define SPURIOUS (spurious < MAXSPURIOUS) -> spurious++

/* The kernel at a process's end (death or exit): every undo adjustment is
 * applied to its set if the set still exists, and its file lock is dropped. */
inline undo_all(p) {
    for (s : 1 .. MAXSETS) {
        if
        :: ADJ(p, s) != 0 && exists[s] ->
            /* the kernel clamps the value at 0 */
            if
            :: val[s] + ADJ(p, s) < 0 -> val[s] = 0
            :: else -> val[s] = val[s] + ADJ(p, s)
            fi;
            assert(val[s] <= 1)
        :: else -> skip
        fi;
        ADJ(p, s) = 0
    }
    s = 0;
    if :: fileHolder == p + 1 -> fileHolder = 0 :: else -> skip fi
}

inline die(p) {
    d_step {
        kills++;
        undo_all(p);
        if
        :: inCritical[p] -> inCritical[p] = false; inside--
        :: else -> skip
        fi;
        if
        :: holds[p] -> holds[p] = false; holders--
        :: else -> skip
        fi;
        if
        :: creating[p] != 0 -> creatorAlive[creating[p]] = false; creating[p] = 0
        :: else -> skip
        fi
    }
}

/* A kill may come before any step. */
#define KILLPOINT if :: kills < MAXKILLS -> die(p); goto restart :: true -> skip fi

/* IPC_RMID of set s. */
inline remove_set(s2) {
    exists[s2] = false;
    if :: keySet == s2 -> keySet = 0 :: else -> skip fi
}

#ifdef SETVAL_REPAIR
/* SETVAL: the value becomes 1 and every undo adjustment on the set is cleared. */
inline setval(s2) {
    d_step {
        if
        :: exists[s2] ->
            val[s2] = 1;
            for (i : 0 .. NPROC - 1) { ADJ(i, s2) = 0 }
            i = 0
        :: else -> skip
        fi
    }
}
#endif

proctype Process(byte p) {
    byte my = 0;
    byte rounds = 0;
    byte regets = 0;
    byte tries = 0;
    byte s = 0;
#ifdef SETVAL_REPAIR
    byte i = 0;
#endif

restart:
    my = 0;
    regets = 0;

get:
    /* find_or_make: semget(key, 1, IPC_CREAT|IPC_EXCL|0600) */
    KILLPOINT;
create:
    if
    :: d_step { keySet == 0 ->
           assert(nextId < MAXSETS);
           nextId++;
           my = nextId;
           keySet = my;
           exists[my] = true;
           val[my] = 0;
           stamped[my] = false;
           creatorAlive[my] = true;
           creating[p] = my
       };
       goto created
#ifdef NONEXCL_CREATE
    :: d_step { keySet != 0 && !stamped[keySet] ->
           /* IPC_CREAT alone answers the set that is there */
           my = keySet;
           creatorAlive[my] = true;
           creating[p] = my
       };
       goto created
#endif
    :: else -> skip  /* EEXIST */
    fi;

    /* find_or_make: semget(key, 1, 0600) for the existing set */
    KILLPOINT;
find:
    if
    :: keySet == 0 -> goto get  /* ENOENT: removed since; make it */
    :: else -> my = keySet
    fi;

    /* find_or_make: IPC_STAT; wait_until_ready: IPC_STAT until stamped */
    KILLPOINT;
look:
    if
    :: SPURIOUS; goto reget
    :: !exists[my] -> goto reget   /* EIDRM/EINVAL: go by the key again */
    :: exists[my] && stamped[my] -> goto ready
    :: exists[my] && !stamped[my] && !creatorAlive[my] -> skip  /* the bound passed: the creator died */
    :: exists[my] && !stamped[my] && creatorAlive[my] && stalls < MAXSTALLS ->
        stalls++  /* the bound passed: the creator is stopped, not dead */
    fi;

#ifdef SETVAL_REPAIR
    /* old wait_until_ready: the last look at sem_otime */
    KILLPOINT;
    if
    :: !exists[my] || stamped[my] -> goto ready
    :: else -> skip
    fi;
    /* old wait_until_ready: the WARN line "... freeing it" */
    KILLPOINT;
    /* old make_free: semctl(SETVAL, 1) */
    KILLPOINT;
    setval(my);
    /* old make_free: semop {-1 IPC_NOWAIT, +1}, the stamp */
    KILLPOINT;
    d_step { if :: exists[my] && val[my] > 0 -> stamped[my] = true :: else -> skip fi };
    goto ready;
#else
    /* wait_until_ready: semctl(IPC_RMID) right after the last look; only one
       process removes a set. Under stalls it may be one just stamped and
       taken: that is what the fence is for. */
    KILLPOINT;
remove:
    if
    :: SPURIOUS
    :: d_step { exists[my] ->
           remove_set(my)
       }
    :: !exists[my] -> skip  /* EIDRM: another waiter removed it first */
    fi;
    goto reget;
#endif

created:
#ifdef SETVAL_REPAIR
    /* old telmor_create_proc_lock_inner: "create sem" log line */
    KILLPOINT;
    /* old make_free: semctl(SETVAL, 1) */
    KILLPOINT;
    setval(my);
    /* old make_free: semop {-1 IPC_NOWAIT, +1}, the stamp */
    KILLPOINT;
    d_step {
        if :: exists[my] && val[my] > 0 -> stamped[my] = true :: else -> skip fi;
        creatorAlive[my] = false;
        creating[p] = 0
    };
    goto ready;
#else
    /* make_ready: semctl(IPC_STAT) */
    KILLPOINT;
    if
    :: SPURIOUS; goto lost
    :: !exists[my] -> goto lost
    :: exists[my] -> skip
    fi;
#ifdef STAMP_FIRST
    /* semop {+1, -1}: stamped with the value still 0 */
    KILLPOINT;
    if
    :: SPURIOUS; goto lost
    :: d_step { exists[my] -> stamped[my] = true }
    :: !exists[my] -> goto lost
    fi;
#endif
    /* make_ready: semctl(IPC_SET): the set to its owner */
    KILLPOINT;
    if
    :: SPURIOUS; goto lost
    :: !exists[my] -> goto lost
    :: exists[my] -> skip
    fi;
    /* make_ready: semop {0, +1, 0}: free and stamped in one step */
    KILLPOINT;
stamp:
    if
    :: SPURIOUS; goto lost
    :: d_step { exists[my] ->
           val[my]++;
           assert(val[my] == 1);
           stamped[my] = true;
           creatorAlive[my] = false;
           creating[p] = 0
       };
       goto ready
    :: !exists[my] -> goto lost
    fi;

lost:
    /* find_or_make: its set was removed under it, or said to be: semctl(IPC_RMID)
       of its own unready set, then by the key again */
    if
    :: SPURIOUS
    :: d_step { exists[my] -> remove_set(my) }
    :: !exists[my] -> skip
    fi;
    d_step { creatorAlive[my] = false; creating[p] = 0 };
    goto reget;
#endif

reget:
    if
    :: regets < MAXREGETS -> regets++; goto get
    :: else -> goto notTaken  /* "... giving up": ENOLCK */
    fi;

ready:
    /* Telmor_Add_Pro_Lock: semtimedop {0, -1, SEM_UNDO}, waiting while 0 */
    KILLPOINT;
take:
    if
    :: d_step { exists[my] && val[my] > 0 ->
           val[my]--;
           ADJ(p, my) = ADJ(p, my) + 1;
           holds[p] = true;
           holders++
       }
#ifdef NO_REGET
    :: SPURIOUS; d_step { holds[p] = true; holders++ }  /* answered as taken */
    :: d_step { !exists[my] -> holds[p] = true; holders++ }
#else
    :: SPURIOUS; goto reget
    :: !exists[my] -> goto reget  /* EIDRM/EINVAL: the set by key again */
#endif
    fi;

    /* keystore_fence: open the lock file, fcntl(F_OFD_SETLKW), waiting while
       another description holds it */
    KILLPOINT;
fence:
#ifndef NO_FENCE
    d_step { fileHolder == 0 -> fileHolder = p + 1 };
#endif

critical:
    d_step {
        inCritical[p] = true;
        inside++;
        assert(inside == 1)
    };
    /* the key library's work under the lock (reads, writes, log lines) */
    KILLPOINT;
    d_step { inCritical[p] = false; inside-- };

    /* Telmor_Release_Pro_Lock: the fence first (close) */
    KILLPOINT;
#ifndef NO_FENCE
    d_step { assert(fileHolder == p + 1); fileHolder = 0 };
#endif

    /* give_back: semop {0, +1, SEM_UNDO} */
    tries = 0;
    KILLPOINT;
giveBack:
    if
    :: SPURIOUS; goto giveFailed
    :: d_step { exists[my] ->
           val[my]++;
           assert(val[my] <= 1);
#ifndef UNDO_LESS_GIVEBACK
           ADJ(p, my) = ADJ(p, my) - 1;
#endif
           holds[p] = false;
           holders--
       };
       goto given
    :: !exists[my] -> goto giveFailed  /* EIDRM: "release sem proc lock fail" */
    fi;
giveFailed:
    /* give_back: IPC_STAT, does the set still stand? */
    KILLPOINT;
    if
    :: SPURIOUS; d_step { holds[p] = false; holders-- }; goto given
    :: !exists[my] -> d_step { holds[p] = false; holders-- }; goto given
#ifdef NO_GIVEBACK_RETRY
    :: exists[my] -> d_step { holds[p] = false; holders-- }; goto given  /* believed given back */
#else
    :: exists[my] && tries < 2 -> tries++; goto giveBack
#endif
    :: exists[my] && tries >= 2 ->
        /* the last try failed too: removed, so that nobody waits on it */
        d_step { remove_set(my); holds[p] = false; holders-- };
        goto given
    fi;

notTaken:
    /* the key library's operation stops; the process goes on */
    skip;

given:
    rounds++;
    regets = 0;
    if
    :: rounds < ROUNDS -> goto ready
    :: else -> skip
    fi;
    /* exit: the kernel applies the undo adjustments */
    d_step { undo_all(p); finished++ }
}

/* Mutual exclusion, at every state: inside the keystore's critical section
 * always; on the semaphore only where nothing stalls and nobody removes it. */
active proctype Monitor() {
end:
    d_step { (inside > 1 || (SEMAPHORE_ONLY && holders > 1)) -> assert(false) }
}

#ifndef NO_IPCRM
/* The operator's ipcrm -s, at any moment, held or not. */
active proctype Operator() {
end:
    do
    :: d_step { rmids < MAXRMIDS && keySet != 0 -> rmids++; remove_set(keySet) }
    od
}
#endif

init {
    byte p;
    atomic {
        for (p : 0 .. NPROC - 1) { run Process(p) }
    }
    /* when every process is done, nobody holds anything and the set under
       the key is free */
    finished == NPROC;
    assert(holders == 0 && inside == 0 && fileHolder == 0);
    assert(keySet == 0 || val[keySet] == 1)
}
