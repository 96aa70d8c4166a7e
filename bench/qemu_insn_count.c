/* A TCG plugin for qemu-user that counts the guest instructions a program
 * executes and prints the total at exit:
 *
 *   qemu-arm -plugin build/bench/libqemu_insn_count.so -L SYSROOT PROGRAM...
 *   -> "guest instructions: N" on standard error
 *
 * It gives instruction counts of the board's instruction set (ARMv7 with
 * NEON) for cross-built benchmark programs, where no hardware counter and no
 * valgrind is at hand. The count is exact and repeatable: every executed
 * translation block adds its number of instructions (an inline add, no
 * callback per block).
 *
 * qemu's plugin header is not packaged; the few entry points used here are
 * declared below as qemu's plugin interface (version 1) defines them. */
#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef uint64_t qemu_plugin_id_t;

typedef struct qemu_info_t {
    const char *target_name;
    struct {
        int min;
        int cur;
    } version;
    bool system_emulation;
    union {
        struct {
            int smp_vcpus;
            int max_vcpus;
        } system;
    };
} qemu_info_t;

struct qemu_plugin_tb;

enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op, void *ptr,
                                              uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);

#define EXPORTED __attribute__((visibility("default")))

EXPORTED int qemu_plugin_version = 1;

/* One counter for all guest threads: the benchmark programs counted with it
 * run on one thread. */
static uint64_t executed;

static void translated(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed, qemu_plugin_tb_n_insns(tb));
}

static void report(qemu_plugin_id_t id, void *userdata) {
    (void)id;
    (void)userdata;
    fprintf(stderr, "guest instructions: %" PRIu64 "\n", executed);
}

EXPORTED int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv) {
    (void)info;
    (void)argc;
    (void)argv;
    qemu_plugin_register_vcpu_tb_trans_cb(id, translated);
    qemu_plugin_register_atexit_cb(id, report, NULL);
    return 0;
}
