/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Wire records shared with the key-management library (libhxbVaq.so): byte
 * packed, host byte order. Their sizes and offsets are part of its ABI, so a
 * vendor build and ours read and write them the same way.
 */
#ifndef TELMOR_VAQ_RECORDS_H
#define TELMOR_VAQ_RECORDS_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)

/* Date-time inside the other records (8 bytes). */
typedef struct VaqDateTime {
    uint16_t year;
    uint8_t month; /* 1..12 */
    uint8_t day;   /* 1..31 */
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint8_t weekday; /* 0 = Sunday */
} VaqDateTime;

/* Key domain (141 bytes): handed to VaqAddDomainEx, filled by VaqGetDomain. */
typedef struct VaqDomainRecord {
    uint32_t domainId;
    uint8_t attr;   /* 1: the library gives the domain its first master key */
    char name[128]; /* zero-terminated */
    uint8_t reserved[8];
} VaqDomainRecord;

/* Key type of a domain (18 bytes): handed to VaqAddDomainKeyTypeEx. */
typedef struct VaqKeyTypeRecord {
    uint16_t keyType;  /* 3 */
    uint32_t keyAttr;  /* 112 */
    uint32_t lifeDays; /* 3650: a master key's life, from creation to expiry */
    uint8_t reserved[8];
} VaqKeyTypeRecord;

/* Master key (28 bytes): filled by VaqGetMk and VaqGetMkDetail. */
typedef struct VaqMkRecord {
    uint32_t domainId;
    uint32_t keyId;
    uint16_t keyLen; /* bytes of key material */
    uint8_t active;  /* 1 for the domain's active key */
    uint8_t origin;  /* 0 generated, 1 registered or imported */
    VaqDateTime created;
    VaqDateTime expires;
} VaqMkRecord;

/* Root key (24 bytes): filled by VaqGetRootKeyInfo. */
typedef struct VaqRootKeyRecord {
    uint16_t version; /* 1 for the first root key, raised by each update */
    uint16_t valid;   /* 1 while the root key is valid */
    VaqDateTime created;
    VaqDateTime expires;
    uint32_t wrappedKeys; /* master keys wrapped under it */
} VaqRootKeyRecord;

/* Root-key configuration (16 bytes): filled by VaqGetRootKeyCfg. */
typedef struct VaqRootKeyCfgRecord {
    uint32_t lifeDays; /* root key's life */
    uint32_t strengthBits;
    uint8_t reserved[8];
} VaqRootKeyCfgRecord;

#pragma pack(pop)

#define VAQ_CHECK_FIELD(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field " offset")

static_assert(sizeof(VaqDateTime) == 8, "date-time is 8 bytes");
VAQ_CHECK_FIELD(VaqDateTime, year, 0);
VAQ_CHECK_FIELD(VaqDateTime, month, 2);
VAQ_CHECK_FIELD(VaqDateTime, day, 3);
VAQ_CHECK_FIELD(VaqDateTime, hour, 4);
VAQ_CHECK_FIELD(VaqDateTime, minute, 5);
VAQ_CHECK_FIELD(VaqDateTime, second, 6);
VAQ_CHECK_FIELD(VaqDateTime, weekday, 7);

static_assert(sizeof(VaqDomainRecord) == 141, "domain record is 141 bytes");
VAQ_CHECK_FIELD(VaqDomainRecord, domainId, 0);
VAQ_CHECK_FIELD(VaqDomainRecord, attr, 4);
VAQ_CHECK_FIELD(VaqDomainRecord, name, 5);
VAQ_CHECK_FIELD(VaqDomainRecord, reserved, 133);

static_assert(sizeof(VaqKeyTypeRecord) == 18, "key-type record is 18 bytes");
VAQ_CHECK_FIELD(VaqKeyTypeRecord, keyType, 0);
VAQ_CHECK_FIELD(VaqKeyTypeRecord, keyAttr, 2);
VAQ_CHECK_FIELD(VaqKeyTypeRecord, lifeDays, 6);
VAQ_CHECK_FIELD(VaqKeyTypeRecord, reserved, 10);

static_assert(sizeof(VaqMkRecord) == 28, "master-key record is 28 bytes");
VAQ_CHECK_FIELD(VaqMkRecord, domainId, 0);
VAQ_CHECK_FIELD(VaqMkRecord, keyId, 4);
VAQ_CHECK_FIELD(VaqMkRecord, keyLen, 8);
VAQ_CHECK_FIELD(VaqMkRecord, active, 10);
VAQ_CHECK_FIELD(VaqMkRecord, origin, 11);
VAQ_CHECK_FIELD(VaqMkRecord, created, 12);
VAQ_CHECK_FIELD(VaqMkRecord, expires, 20);

static_assert(sizeof(VaqRootKeyRecord) == 24, "root-key record is 24 bytes");
VAQ_CHECK_FIELD(VaqRootKeyRecord, version, 0);
VAQ_CHECK_FIELD(VaqRootKeyRecord, valid, 2);
VAQ_CHECK_FIELD(VaqRootKeyRecord, created, 4);
VAQ_CHECK_FIELD(VaqRootKeyRecord, expires, 12);
VAQ_CHECK_FIELD(VaqRootKeyRecord, wrappedKeys, 20);

static_assert(sizeof(VaqRootKeyCfgRecord) == 16, "root-key configuration is 16 bytes");
VAQ_CHECK_FIELD(VaqRootKeyCfgRecord, lifeDays, 0);
VAQ_CHECK_FIELD(VaqRootKeyCfgRecord, strengthBits, 4);
VAQ_CHECK_FIELD(VaqRootKeyCfgRecord, reserved, 8);

#endif /* TELMOR_VAQ_RECORDS_H */
