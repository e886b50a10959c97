package org.brimvox;

import java.io.IOException;

/**
 * A failure of the speech engine: it could not be opened, a run could not start, or a run ended
 * with an error. {@link #reason()} says what kind of failure it was; {@link #engineText()} is the
 * engine's own text when the engine gave one.
 */
public class BrimvoxException extends IOException {
    private static final long serialVersionUID = 1L;

    /** What went wrong. */
    public enum Reason {
        /** The native library could not be loaded. */
        LIBRARY,
        /** The native engine could not be created. */
        NO_ENGINE,
        /** Another engine is open in this process (the native library holds one). */
        ENGINE_IN_USE,
        /** A sound setting has a value the engine does not accept. */
        SETTING,
        /** A run is still active, or the engine refused to start one. */
        RUN_ACTIVE,
        /** The compressed file could not be created, written or read. */
        FILE,
        /** The sound card could not be opened or failed during the run. */
        DEVICE,
        /** The caller's stream failed while the run read from it or wrote to it. */
        STREAM
    }

    private final Reason reason;
    private final String engineText;

    /**
     * @param reason what went wrong
     * @param message the message, which includes the engine's text when there is one
     * @param engineText the engine's own error text, or null
     * @param cause the underlying exception, or null
     */
    public BrimvoxException(Reason reason, String message, String engineText, Throwable cause) {
        super(message, cause);
        this.reason = java.util.Objects.requireNonNull(reason, "reason");
        this.engineText = engineText;
    }

    /** What went wrong. */
    public Reason reason() {
        return reason;
    }

    /** The engine's own error text, or null if the failure was found on the Java side. */
    public String engineText() {
        return engineText;
    }
}
