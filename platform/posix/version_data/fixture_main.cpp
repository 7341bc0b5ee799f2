// A program that does nothing but carry the version data, so tests can read it
// from a file the way the program reads its own.
int main() {
  return 0;
}
