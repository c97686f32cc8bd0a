// STUB entry
int main() { return 0; }
