// A Windows program that does nothing: what starting and ending a process
// costs under Wine, the floor the benchmark measures qrvinst against.
int main() { return 0; }
