/* Converts the JPEG file "in.jpg" of the current folder into "out.bmp"; exits 0 when
 * BMPSepia reports success. Plain C, as the header promises. */
#include <bmpsepia.h>

int main(void) {
  static const bmpsepia_char in[] = {'i', 'n', '.', 'j', 'p', 'g', 0};
  static const bmpsepia_char out[] = {'o', 'u', 't', '.', 'b', 'm', 'p', 0};
  return BMPSepia(in, out) == BMPSEPIA_CONVERTED ? 0 : 1;
}
