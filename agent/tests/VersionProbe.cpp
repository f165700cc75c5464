// A program that links the agent core and uses nothing of it: its file must still carry the
// version record.
int main() { return 0; }
