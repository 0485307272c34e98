#!/bin/bash -eu
# Builds the fuzz targets with the fuzzing service's compiler, flags and
# engine ($CC, $CXX, $CFLAGS, $CXXFLAGS, $LIB_FUZZING_ENGINE), and puts them
# into $OUT with what they load at run time: the driver image beside them,
# the emulation's libraries under lib/ (the targets' run path), and each
# target's seeds as <target>_seed_corpus.zip.
build=$WORK/tesmo-fuzz
cmake -S "$SRC/tesmo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_C_FLAGS="$CFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
  -DTESMO_BUILD_FUZZERS=ON -DTESMO_LIB_FUZZING_ENGINE="$LIB_FUZZING_ENGINE" \
  -DTESMO_BUILD_TESTS=OFF -DTESMO_BUILD_BENCH=OFF
targets=(fuzz_ioctl fuzz_device fuzz_program)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$OUT/lib"
cp "$build/src/tesmo_driver.so" "$OUT/"
find "$build/host" -name 'libtesmo_*.so' -exec cp {} "$OUT/lib/" \;
for target in "${targets[@]}"; do
  cp "$build/tests/fuzz/$target" "$OUT/"
  (cd "$SRC/tesmo/tests/fuzz/corpus/$target" && zip -q -j "$OUT/${target}_seed_corpus.zip" ./*)
done
