/**
 * The brimvox speech library: the engine that records and plays speech compressed at 4800 bit/s
 * ({@link org.brimvox.Brimvox}), its native library for Linux x86-64 and Windows x86/x64, and a
 * pure-Java decoder behind {@code javax.sound.sampled}. The legacy class {@code NativeAudio}
 * (unnamed package) ships in the companion jar {@code brimvox-legacy.jar}, for the class path.
 */
module org.brimvox {
    requires transitive java.desktop;

    exports org.brimvox;

    provides javax.sound.sampled.spi.AudioFileReader with org.brimvox.BvxAudioFileReader;
    provides javax.sound.sampled.spi.FormatConversionProvider with org.brimvox.BvxFormatConversionProvider;
}
