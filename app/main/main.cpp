// Entry point of TKV Setup.
int main() { return 0; }
