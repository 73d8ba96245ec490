#include <cstdio>

int main() {
    std::puts("Quorim v0.11b");
    return 0;
}
