module quorin.example/standin-core

go 1.19
