// The lane helpers of every kernel path, included inside a path's namespace by the path's file
// before the other bodies, with KERNEL_TARGET naming the path's processor. Every function that
// takes or gives a vector is of its path's processor: compilers keep a call between functions
// of two kinds from passing vectors in registers, and refuse to inline the one into the other.

// Each lane held to 0..255, the lane form of clip_byte.
template <typename Lanes>
KERNEL_TARGET KERNEL_INLINE Lanes clip_lanes(Lanes v) {
  const Lanes zero = {};
  const Lanes top = zero + 255;
  v = v < zero ? zero : v;
  return v > top ? top : v;
}
