// Distance kernels, shared by the SQL distance functions and the KNN search.
//
// The arithmetic is part of each kernel's definition: one accumulator, index order, every
// float32 step rounded to float32, no fused multiply-add. The query path and the SQL
// functions therefore agree to the last bit. Any faster variant must reproduce these
// results bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

// Vectors are in compact form and may be unaligned; d is the dimension count.
float kernel_l2_float32(const float* a, const float* b, size_t d);
float kernel_l2_int8(const int8_t* a, const int8_t* b, size_t d);
double kernel_l1_float32(const float* a, const float* b, size_t d);
int32_t kernel_l1_int8(const int8_t* a, const int8_t* b, size_t d);
float kernel_cosine_float32(const float* a, const float* b, size_t d);
float kernel_cosine_int8(const int8_t* a, const int8_t* b, size_t d);
// d is the number of bits, a multiple of 8.
float kernel_hamming_bit(const uint8_t* a, const uint8_t* b, size_t d);
