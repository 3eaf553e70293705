// The X side of the window tests, apart from them: the X headers' macros clash with their names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <vector>

extern "C" Display* glfwGetX11Display();  // glfw3native.h wants headers this machine may lack

// What the X server shows of the one viewable window of this size, read over a connection of its
// own as a screenshot tool reads it: RGB, top row first; empty when there is no such window.
std::vector<unsigned char> windowPixelsAsShown(int width, int height) {
  // What the window's own connection still holds back is sent first, as the frame loop's next
  // round trip to the server does before it sleeps.
  if (Display* own = glfwGetX11Display()) XSync(own, False);
  std::vector<unsigned char> pixels;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return pixels;
  Window root = 0, parent = 0, *children = nullptr, target = 0;
  unsigned int count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
        attributes.width == width && attributes.height == height)
      target = children[i];
  }
  if (children) XFree(children);
  if (XImage* image =
          target ? XGetImage(display, target, 0, 0, width, height, AllPlanes, ZPixmap) : nullptr) {
    pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const unsigned long pixel = XGetPixel(image, x, y);
        pixels.insert(pixels.end(),
                      {static_cast<unsigned char>(pixel >> 16), static_cast<unsigned char>(pixel >> 8),
                       static_cast<unsigned char>(pixel)});
      }
    XDestroyImage(image);
  }
  XCloseDisplay(display);
  return pixels;
}
