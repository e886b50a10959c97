package org.brimvox;

/** Run in a fresh JVM by {@link FreshJvmTest}: loads the natives and says from where. */
public final class LoadProbe {
    private LoadProbe() {}

    public static void main(String[] args) {
        try {
            System.out.println("version " + Brimvox.nativeVersion());
            System.out.println("loaded from " + NativeLibrary.loadedFrom());
        } catch (BrimvoxException e) {
            System.out.println(e.getMessage());
            System.exit(1);
        }
    }
}
