// kvx: the command line over the engine.
int main() { return 0; }
