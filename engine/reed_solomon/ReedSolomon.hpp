#pragma once

// Erasure codec over GF(2^8) with the systematic Cauchy parity matrix P[i][j] = 1 / ((j + ps) XOR i):
// parity shard i of a block is the sum over j of P[i][j] * data shard j, byte by byte. Shard indexes
// 0..ds-1 are data shards and ds..ds+ps-1 parity shards in row order.
//
// A context belongs to one (ds, ps) pair and may serve any number of blocks, but only one call at a time:
// each decode writes the context's work area. Distinct contexts are independent. Nothing is allocated
// during a decode or an encode.

#include <cstddef>
#include <cstdint>

#include "engine/reed_solomon/Oblas.hpp"

namespace corvane::stream {

// The fixed fields of a context; the matrix area of (ds + ps) * ds bytes follows them in the same block:
// first the ps * ds parity matrix, row-major, then the decoder's ds * ds work area.
struct reed_solomon {
    std::int32_t ds;
    std::int32_t ps;
    std::int32_t ts;
    obl_axpy_fn axpy;
    obl_scal_fn scal;
    obl_axpy_fn axiy;
    std::size_t alignment;
    obl_dotp_fn dotp;
    // Set only by reed_solomon_new, so that releasing a caller's buffer frees nothing.
    std::int32_t owned;
};

// Fills the multiplication table; safe to call any number of times, from any thread.
void reed_solomon_init();

// Bytes a context for (ds, ps) takes; 0 when the counts are refused (either outside 1..255, or a sum
// above 255).
std::size_t reed_solomon_size(int ds, int ps);

// A new context, or none when the counts are refused or memory is short.
reed_solomon* reed_solomon_new(int ds, int ps);

// Sets up a caller's buffer as a context; none when the buffer is absent or not aligned for the fixed
// fields, the counts are refused, or size is below reed_solomon_size(ds, ps).
reed_solomon* reed_solomon_new_static(void* buffer, std::size_t size, int ds, int ps);

// Frees a context made by reed_solomon_new; an absent context, or one in a caller's buffer, is left alone.
void reed_solomon_release(reed_solomon* rs);

// Rebuilds the lost data shards of one block. shards holds nr_shards pointers to bs bytes each in
// shard-index order; marks[i] is 0 for a present shard and anything else for a lost one. The buffers of
// the lost data shards receive the rebuilt bytes; present shards are only read; lost parity shards and
// shards past ds + ps are not touched (their pointers may be null). Returns 0, or -1 on bad arguments,
// a null buffer that is needed, or fewer present parity shards than lost data shards; after -1 the lost
// data buffers are unchanged.
int reed_solomon_decode(reed_solomon* rs, std::uint8_t* const* shards, const std::uint8_t* marks, int nr_shards,
    int bs);

// Computes the ps parity shards of a block from its ds data shards (shards as for decode, all ds + ps
// pointers needed). Returns 0, or -1 on bad arguments.
int reed_solomon_encode(reed_solomon* rs, std::uint8_t* const* shards, int nr_shards, int bs);

} // namespace corvane::stream
