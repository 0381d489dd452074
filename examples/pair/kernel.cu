// reduce_sum: per-block partial sums of `in`, accumulated into `out`.
#include <cuda_runtime.h>

__device__ float strided_sum(const float* in, int n, int tid, int stride) {
  float sum = 0.0f;
  for (int i = tid; i < n; i += stride) {
    sum += in[i];
  }
  return sum;
}

__global__ void reduce_sum(const float* in, float* out, int n, float threshold, int width) {
  __shared__ float partial[64];
  const int tid = blockIdx.x * blockDim.x + threadIdx.x;
  float sum = strided_sum(in, n, tid, blockDim.x * gridDim.x);
  partial[threadIdx.x] = sum;
  __syncthreads();

  if (sum < threshold) {
    sum = 0.0f;
  }
  if (threadIdx.x % 32 < width) {
    sum *= 2.0f;
  }
  if (tid >= n) {
    out[gridDim.x + blockIdx.x] = sum;
  } else {
    partial[threadIdx.x] = sum;
  }
  switch (blockIdx.x) {
    case 0: sum += 1.0f; break;
    default: sum -= 1.0f; break;
  }
  atomicAdd(&out[blockIdx.x], sum);
  out[2 * gridDim.x + tid] = sum;
}
