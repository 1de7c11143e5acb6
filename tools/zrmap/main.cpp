// Placeholder until the map writer lands.
int main() { return 0; }
