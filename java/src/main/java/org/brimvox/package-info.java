/**
 * Records and plays compressed speech (8 kHz, 4800 bit/s, 18-byte frames of 30 ms) through the
 * native brimvox engine.
 *
 * <p>Open the engine with {@link org.brimvox.Brimvox#open()} or {@link org.brimvox.Brimvox#builder()},
 * start a run (record to a file or an {@link java.io.OutputStream}, play a file or an
 * {@link java.io.InputStream}), and control it through its {@link org.brimvox.AudioRun}: pause,
 * resume, stop, elapsed time, input level, and completion as a
 * {@link java.util.concurrent.CompletableFuture}. Failures are {@link org.brimvox.BrimvoxException}s
 * carrying the engine's own text.
 *
 * <p>The jar carries the native library for Linux x86-64 and Windows x86 and x64 and loads it by
 * itself; see {@link org.brimvox.NativeLibrary}.
 */
package org.brimvox;
