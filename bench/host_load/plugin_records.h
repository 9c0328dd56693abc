/* The few boundary records bench_host_load needs, seen from C: the library
 * header, the C-ABI self-test table, the header's lock, the root module, the
 * driver's operation table (up to `at_root`) and the results of `new` and
 * `at_root`. The same bytes as lmfs_abi/records.h and library.h and the
 * headers of lmfs_interface lay out (x86-64, 8-byte pointers); the
 * assertions pin every size and offset read here.
 *
 * Fields this program never reads are kept as plain pointers: they hold the
 * place, nothing more. */
#ifndef LMFS_BENCH_PLUGIN_RECORDS_H
#define LMFS_BENCH_PLUGIN_RECORDS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/* ---- prefix tables: the field mask and a layout pointer, then the fields */

typedef struct {
  uint64_t field_accessibility;
  const void *type_layout;
} PrefixMetadata;
_Static_assert(sizeof(PrefixMetadata) == 16, "PrefixMetadata");

/* ---- texts and lists */

typedef struct {
  const char *data;
  size_t len;
} RStr;
_Static_assert(sizeof(RStr) == 16 && offsetof(RStr, len) == 8, "RStr");

/* RPath: a borrowed slice of bytes. */
typedef struct {
  const uint8_t *data;
  size_t len;
} RPath;
_Static_assert(sizeof(RPath) == 16, "RPath");

typedef struct {
  const void *executable_identity;
  uint8_t type_id_array[16];
} UTypeId;
_Static_assert(sizeof(UTypeId) == 24 && _Alignof(UTypeId) == 8, "UTypeId");

struct RVecU8;
typedef struct {
  PrefixMetadata metadata;
  UTypeId (*type_id)(void);
  void (*destructor)(struct RVecU8 *vec);
  void (*grow_capacity_to)(struct RVecU8 *vec, size_t capacity, uint32_t exactness); /* 0 exact, 1 above */
  void (*shrink_to_fit)(struct RVecU8 *vec);
} VecVTable;
_Static_assert(sizeof(VecVTable) == 48 && offsetof(VecVTable, destructor) == 24, "VecVTable");
#define LMFS_VEC_VTABLE_MASK 0xFu

/* RVec<u8>; RString and RPathBuf are this record alone. Whoever owns one at
 * the end calls the destructor of the table it carries. */
typedef struct RVecU8 {
  uint8_t *buffer;
  size_t length;
  size_t capacity;
  const VecVTable *vtable;
} RVecU8;
_Static_assert(sizeof(RVecU8) == 32 && offsetof(RVecU8, length) == 8 && offsetof(RVecU8, capacity) == 16 &&
                   offsetof(RVecU8, vtable) == 24,
               "RVec<u8>");
typedef RVecU8 RString;

/* ---- the C-ABI self-test (library.h) */

typedef struct { uint16_t a; } U16x1;
typedef struct { uint16_t a, b; } U16x2;
_Static_assert(sizeof(U16x1) == 2 && sizeof(U16x2) == 4, "self-test pairs");

typedef struct {
  uint32_t (*take_pair_a)(U16x1);
  uint32_t (*take_pair_b)(U16x1);
  U16x1 (*ret_pair_a)(uint32_t);
  U16x1 (*ret_pair_b)(uint32_t);
  uint64_t (*take_triple_a)(U16x2);
  uint64_t (*take_triple_b)(U16x2);
  uint64_t (*take_triple_c)(U16x2);
  U16x2 (*ret_triple_a)(uint64_t);
  U16x2 (*ret_triple_b)(uint64_t);
  U16x2 (*ret_triple_c)(uint64_t);
  uint64_t (*take_2_pairs_a)(U16x1, U16x1);
  uint64_t (*take_2_pairs_b)(U16x1, U16x1);
  U16x2 (*ret_2_pairs_a)(uint64_t);
  U16x2 (*ret_2_pairs_b)(uint64_t);
  uint64_t (*mixed_units)(uint16_t, uint16_t, uint16_t, uint16_t);
} CAbiTestingFns;
_Static_assert(sizeof(CAbiTestingFns) == 15 * 8, "CAbiTestingFns");

/* ---- the header's lock */

typedef struct {
  uint64_t word;
} RawMutexState;

typedef struct {
  PrefixMetadata metadata;
  void (*lock)(const RawMutexState *);
  const void *try_lock;
  void (*unlock)(const RawMutexState *);
  const void *try_lock_for;
} MutexVTable;
_Static_assert(offsetof(MutexVTable, lock) == 16 && offsetof(MutexVTable, unlock) == 32, "MutexVTable");
#define LMFS_MUTEX_LOCK_AND_UNLOCK 0x5u

/* ---- the root-module constructor's answer: tag 0 Ok(module), 1 Err */

typedef struct {
  uint8_t tag;
  union {
    const void *ok;
    unsigned char err[32]; /* RootModuleError: never read here */
  } payload;
} RootModuleResult;
_Static_assert(sizeof(RootModuleResult) == 40 && offsetof(RootModuleResult, payload) == 8, "RootModuleResult");

/* ---- the library header, under the one exported symbol */

#define LMFS_HEADER_SYMBOL "_1as_0lib_1header_0root_bmodule_bloader"
#define LMFS_MAGIC "abi stable library for Rust     " /* 27 characters and five blanks */
#define LMFS_ABI_MAJOR 0u
#define LMFS_ABI_MINOR 11u

typedef struct {
  char magic[32];
  uint32_t abi_major;
  uint32_t abi_minor;
  RStr base_name;
  RStr name;
  RStr version;
  uint8_t layout_tag; /* 0: layout included, 1: absent */
  const void *layout;
  const CAbiTestingFns *c_abi_testing_fns;
  void (*init_globals_with)(const void *globals);
  const void *module; /* the root-module slot: the host fills it */
  RawMutexState lock_state;
  const MutexVTable *lock_vtable;
  RootModuleResult (*constructor)(void);
} LibHeader;
_Static_assert(sizeof(LibHeader) == 152, "LibHeader");
_Static_assert(offsetof(LibHeader, abi_major) == 32 && offsetof(LibHeader, abi_minor) == 36, "LibHeader abi");
_Static_assert(offsetof(LibHeader, version) == 72 && offsetof(LibHeader, layout_tag) == 88, "LibHeader version");
_Static_assert(offsetof(LibHeader, layout) == 96 && offsetof(LibHeader, c_abi_testing_fns) == 104, "LibHeader self-test");
_Static_assert(offsetof(LibHeader, init_globals_with) == 112 && offsetof(LibHeader, module) == 120, "LibHeader slot");
_Static_assert(offsetof(LibHeader, lock_state) == 128 && offsetof(LibHeader, lock_vtable) == 136, "LibHeader lock");
_Static_assert(offsetof(LibHeader, constructor) == 144, "LibHeader constructor");

/* ---- the driver's error: a tag byte, the variant at offset 8 */

enum {
  kErrInvalidParameterValue = 3, /* two texts: name, value */
  kErrInvalidMediaType = 5,      /* RCow<str>: owned or borrowed */
  kErrSecurityError = 6,         /* UnsafePath(text) */
  kErrNotApplicable = 7,         /* RCow<str> */
  /* every other variant carries one text */
};

typedef struct {
  uint8_t tag;
  union {
    RString text;
    struct {
      RString name;
      RString value;
    } parameter;
    struct {
      uint32_t tag; /* 0 borrowed (RStr), 1 owned (RString) */
      union {
        RStr borrowed;
        RString owned;
      } u;
    } cow;
    struct {
      uint8_t tag;
      RString unsafe_path;
    } security;
  } payload;
} StorageDriverError;
_Static_assert(sizeof(StorageDriverError) == 72 && offsetof(StorageDriverError, payload) == 8, "StorageDriverError");
_Static_assert(offsetof(StorageDriverError, payload.parameter.value) == 40, "InvalidParameterValue");
_Static_assert(offsetof(StorageDriverError, payload.cow.u.owned) == 16, "RCow<str>");
_Static_assert(offsetof(StorageDriverError, payload.security.unsafe_path) == 16, "SecurityError");

/* ---- the driver object: the operation table and the boxed driver */

typedef struct {
  void *data;
  const void *vtable; /* the box's own table: dropping goes through the object's */
} RBox;
_Static_assert(sizeof(RBox) == 16, "RBox");

typedef struct {
  PrefixMetadata metadata;
  const void *_sabi_type_id;
  void (*_sabi_drop)(RBox *this_box);
  const void *_sabi_clone;
  const void *_sabi_debug;
  const void *_sabi_display;
} RObjectVtable;
_Static_assert(offsetof(RObjectVtable, _sabi_drop) == 24, "RObjectVtable");

typedef struct {
  uint8_t tag;
  union {
    RVecU8 ok; /* RPathBuf */
    StorageDriverError err;
  } payload;
} PathBufResult;
_Static_assert(sizeof(PathBufResult) == 80 && offsetof(PathBufResult, payload) == 8, "PathBufResult");

/* The operation table up to `at_root`; the rest is never called here. */
typedef struct {
  PrefixMetadata metadata;
  const RObjectVtable *_sabi_vtable;
  const void *init;
  const void *done;
  const void *root;
  PathBufResult (*at_root)(const void *self, const RPath *path);
} DriverVTable;
_Static_assert(offsetof(DriverVTable, _sabi_vtable) == 16 && offsetof(DriverVTable, at_root) == 16 + 4 * 8,
               "DriverVTable");

typedef struct {
  const DriverVTable *vtable;
  RBox ptr;
} StorageDriverTO;
_Static_assert(sizeof(StorageDriverTO) == 24 && offsetof(StorageDriverTO, ptr) == 8, "StorageDriver_TO");

typedef struct {
  uint8_t tag; /* 0 Ok, 1 Err */
  union {
    StorageDriverTO ok;
    StorageDriverError err;
  } payload;
} NewResult;
_Static_assert(sizeof(NewResult) == 80 && offsetof(NewResult, payload) == 8, "NewResult");

/* ---- the root module: a prefix table of one field, `new` */

typedef struct {
  PrefixMetadata metadata;
  NewResult (*new_)(RString params); /* RawValueBox: the JSON text, ours to give */
} StorageDriverMod;
_Static_assert(offsetof(StorageDriverMod, new_) == 16, "StorageDriverMod");
#define LMFS_ROOT_MODULE_MASK 0x1u

#endif
