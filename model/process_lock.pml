/* SPDX-License-Identifier: Apache-2.0
 *
 * The node-wide process lock (src/host/process_lock.cpp) as a Promela model.
 *
 * NPROC processes each take and give back the lock ROUNDS times. Between any
 * two of their system calls a process may be killed (at most MAXKILLS kills in
 * all); the kernel then applies its SEM_UNDO adjustment, and the process
 * starts afresh in its slot, as a host restarted by its supervisor would.
 *
 * Checked (spin -a, then pan for safety with invalid end states):
 *  - at most one process ever holds the lock (the monitor, and the assertion
 *    after every take);
 *  - no set is removed while a process holds it;
 *  - a lock whose holder died becomes free: the kill's undo leaves the value
 *    at 1, and no process is left waiting for good (pan reports an invalid
 *    end state if one is);
 *  - when all processes are done, the set under the key, if any, is free.
 *
 * Each step names the code it stands for. One step is one system call: the
 * kernel makes each one atomic, nothing more.
 *
 * The wait for a creator's stamp is bounded in time; the model does not count
 * time, so it lets a waiter give up only when the creator of the set is dead.
 * That is the code's one assumption (a live creator does not stall for the
 * whole bound between creating a set and stamping it). Today's protocol fails
 * even under it.
 *
 * -DTODAY models the protocol before the remove-and-recreate repair: the
 * creator and a waiter that gave up both free the set with SETVAL (which also
 * clears every process's undo adjustment for it), a waiter's last look and its
 * SETVAL are separate steps with a log write between them, and a take that
 * fails returns as if it had taken the lock.
 */

#ifndef NPROC
#define NPROC 3
#endif
#ifndef ROUNDS
#define ROUNDS 1
#endif
#ifndef MAXKILLS
#define MAXKILLS 2
#endif
#define MAXSETS (MAXKILLS + 2)

/* The kernel's state. */
byte keySet = 0;                 /* id of the set under the key; 0: none */
byte nextId = 0;                 /* ids are never reused */
bool exists[MAXSETS + 1];
byte val[MAXSETS + 1];           /* the semaphore's value */
bool stamped[MAXSETS + 1];       /* sem_otime != 0 */
byte holding[MAXSETS + 1];       /* processes that took this set and hold it */
short adj[NPROC];                /* SEM_UNDO adjustment of each process, on adjSet */
byte adjSet[NPROC];

/* Bookkeeping of the model, not of the code. */
bool creatorAlive[MAXSETS + 1];  /* its creator lives and has not stamped it yet */
byte creating[NPROC];            /* the set a process created and has not stamped */
bool holds[NPROC];
byte holders = 0;
byte kills = 0;

/* The kernel at a process's death: the undo adjustment is applied to a set
 * that still exists. */
inline die(p) {
    d_step {
        kills++;
        if
        :: adj[p] != 0 && exists[adjSet[p]] ->
            /* the kernel clamps the value at 0 */
            if
            :: val[adjSet[p]] + adj[p] < 0 -> val[adjSet[p]] = 0
            :: else -> val[adjSet[p]] = val[adjSet[p]] + adj[p]
            fi;
            assert(val[adjSet[p]] <= 1)
        :: else -> skip
        fi;
        adj[p] = 0;
        if
        :: holds[p] ->
            holds[p] = false;
            holders--;
            holding[adjSet[p]]--;
            /* a lock whose holder died is free again */
            assert(!exists[adjSet[p]] || val[adjSet[p]] == 1)
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

#ifdef TODAY
/* SETVAL: the value becomes 1 and every undo adjustment on the set is cleared. */
inline setval(s) {
    d_step {
        if
        :: exists[s] ->
            val[s] = 1;
            for (i : 0 .. NPROC - 1) {
                if :: adjSet[i] == s -> adj[i] = 0 :: else -> skip fi
            }
        :: else -> skip
        fi
    }
}
#endif

proctype Process(byte p) {
    byte my = 0;
    byte rounds = 0;
#ifdef TODAY
    byte i = 0;
#endif

restart:
    my = 0;

get:
    /* telmor_create_proc_lock_inner / find_or_make:
       semget(key, 1, IPC_CREAT|IPC_EXCL|0600) */
    KILLPOINT;
create:
    if
    :: d_step { keySet == 0 ->
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
    :: else -> skip  /* EEXIST */
    fi;

    /* find_or_make: semget(key, 1, 0600) for the existing set */
    KILLPOINT;
find:
    if
    :: keySet == 0 -> goto get  /* ENOENT: removed since; make it */
    :: else -> my = keySet
    fi;

waitReady:
    /* find_or_make: IPC_STAT; wait_until_ready: IPC_STAT until stamped */
    KILLPOINT;
look:
    if
    :: !exists[my] -> goto get   /* EIDRM/EINVAL: go by the key again */
    :: exists[my] && stamped[my] -> goto ready
    :: exists[my] && !stamped[my] && !creatorAlive[my] -> skip  /* the bound passed */
    fi;

#ifdef TODAY
    /* old wait_until_ready: the last look at sem_otime */
    KILLPOINT;
lastLook:
    if
    :: !exists[my] || stamped[my] -> goto ready
    :: else -> skip
    fi;
    /* old wait_until_ready: the WARN line "... freeing it" */
    KILLPOINT;
    /* old make_free: semctl(SETVAL, 1) */
    KILLPOINT;
repairSetval:
    setval(my);
    /* old make_free: semop {-1 IPC_NOWAIT, +1}, the stamp */
    KILLPOINT;
repairStamp:
    d_step { if :: exists[my] && val[my] > 0 -> stamped[my] = true :: else -> skip fi };
    goto ready;
#else
    /* wait_until_ready: semctl(IPC_RMID) right after the last look; only one
       process removes a set, and a set anyone took is stamped */
    KILLPOINT;
remove:
    d_step {
        if
        :: exists[my] ->
            assert(holding[my] == 0 && stamped[my] == false);
            exists[my] = false;
            if :: keySet == my -> keySet = 0 :: else -> skip fi
        :: else -> skip  /* EIDRM: another waiter removed it first */
        fi
    };
    goto get;
#endif

created:
#ifdef TODAY
    /* old telmor_create_proc_lock_inner: "create sem" log line */
    KILLPOINT;
    /* old make_free: semctl(SETVAL, 1) */
    KILLPOINT;
createSetval:
    setval(my);
    /* old make_free: semop {-1 IPC_NOWAIT, +1}, the stamp */
    KILLPOINT;
createStamp:
    d_step {
        if :: exists[my] && val[my] > 0 -> stamped[my] = true :: else -> skip fi;
        creatorAlive[my] = false;
        creating[p] = 0
    };
#else
    /* make_ready: semctl(IPC_STAT), semctl(IPC_SET): the set to its owner */
    KILLPOINT;
    KILLPOINT;
    /* make_ready: semop {0, +1, 0}: free and stamped in one step */
    KILLPOINT;
stamp:
    d_step {
        assert(exists[my]);  /* nobody removes a set whose creator lives */
        val[my]++;
        assert(val[my] == 1);
        stamped[my] = true;
        creatorAlive[my] = false;
        creating[p] = 0
    };
#endif

ready:
    /* Telmor_Add_Pro_Lock: semtimedop {0, -1, SEM_UNDO}, waiting while 0 */
    KILLPOINT;
take:
    if
    :: d_step { exists[my] && val[my] > 0 ->
           val[my]--;
           adj[p] = 1;
           adjSet[p] = my;
           holds[p] = true;
           holding[my]++;
           holders++
       }
#ifdef TODAY
    :: !exists[my] -> holds[p] = true; holders++  /* old: "add sem proc lock fail", and the caller carries on */
#else
    :: !exists[my] -> goto get  /* EIDRM/EINVAL: Telmor_Add_Pro_Lock gets the set by key again */
#endif
    fi;

critical:
    assert(holders == 1);
    /* the key library's work under the lock (reads, writes, log lines) */
    KILLPOINT;

    /* Telmor_Release_Pro_Lock: semop {0, +1, SEM_UNDO} */
giveBack:
    d_step {
        if
        :: exists[my] ->
            val[my]++;
            assert(val[my] <= 1);
            if
            :: adjSet[p] == my -> adj[p]--
            :: else -> adjSet[p] = my; adj[p] = -1
            fi
        :: else -> skip  /* EIDRM: "release sem proc lock fail" */
        fi;
        if :: exists[my] && holding[my] > 0 -> holding[my]-- :: else -> skip fi;
        holds[p] = false;
        holders--
    };
    rounds++;
    if
    :: rounds < ROUNDS -> goto ready
    :: else -> skip
    fi
}

/* Mutual exclusion, at every state. */
active proctype Monitor() {
end:
    d_step { holders > 1 -> assert(false) }
}

init {
    byte p;
    atomic {
        for (p : 0 .. NPROC - 1) { run Process(p) }
    }
    /* when every process is done, the set under the key is free */
    (_nr_pr == 2);
    assert(holders == 0);
    assert(keySet == 0 || val[keySet] == 1)
}
