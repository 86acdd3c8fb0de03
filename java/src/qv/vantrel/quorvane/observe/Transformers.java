package qv.vantrel.quorvane.observe;

import qv.vantrel.quorvane.management.TransformersMXBean;

/**
 * The transformers of this copy of Quorvane, on both routes, as JFR and JMX see them:
 * each route tells it when a transformer comes ({@link #added}) and goes
 * ({@link #removed}), and counts the transformer's calls in what {@code added} returned.
 * The first transformer of either route publishes the statistics event and the
 * Transformers MXBean, the latter as soon as the platform MBean server exists (at once
 * when it does, else a daemon thread looks once a second); {@code Quorvane.detach()} takes
 * them back ({@link #detach}).
 *
 * <p>Threads: the list is replaced, never changed, under {@code LOCK}, so that JMX and
 * JFR read it without one; {@code LOCK} also serializes publishing and taking back.
 */
public final class Transformers {
    /** Remap's transformer. */
    public static final String REMAP = "remap";
    /** The ClassFileTransformers of the Instrumentation and of agents started by loadAgent. */
    public static final String INSTRUMENTATION = "instrumentation";

    private static final TransformerCounts[] NONE = {};
    private static final Object LOCK = new Object();
    private static volatile TransformerCounts[] live = NONE;
    private static boolean published;   // guarded by LOCK
    private static boolean detached;    // guarded by LOCK
    private static Object mbeanName;    // guarded by LOCK; the MXBean's ObjectName once registered
    private static Thread waiting;      // guarded by LOCK; the thread waiting for the platform MBean server
    private static final long WATCH_MILLIS = 1000;

    private Transformers() {
    }

    /**
     * A transformer comes: its calls are counted from now on. The caller publishes the
     * transformer after this returns, so that it does not see the classes that publishing
     * the first one loads (jdk.jfr's listener, and javax.management's for looking up the server).
     *
     * @param transformer the transformer, for its class name
     * @param route {@link #REMAP} or {@link #INSTRUMENTATION}
     * @return where to count its calls
     */
    public static TransformerCounts added(Object transformer, String route) {
        TransformerCounts counts = new TransformerCounts(transformer.getClass().getName(), route);
        synchronized (LOCK) {
            if (detached) {
                return counts;  // counted, but shown nowhere: this copy is done
            }
            if (!published) {
                published = true;
                publish();
            }
            TransformerCounts[] grown = new TransformerCounts[live.length + 1];
            System.arraycopy(live, 0, grown, 0, live.length);
            grown[live.length] = counts;
            live = grown;
        }
        return counts;
    }

    /**
     * A transformer goes: it leaves the MXBean and the statistics.
     *
     * @param counts what {@link #added} returned for it
     */
    public static void removed(TransformerCounts counts) {
        synchronized (LOCK) {
            TransformerCounts[] current = live;
            for (int i = 0; i < current.length; i++) {
                if (current[i] == counts) {
                    TransformerCounts[] shrunk = new TransformerCounts[current.length - 1];
                    System.arraycopy(current, 0, shrunk, 0, i);
                    System.arraycopy(current, i + 1, shrunk, i, current.length - i - 1);
                    live = shrunk;
                    return;
                }
            }
        }
    }

    /** {@code Quorvane.detach()}: every transformer leaves, the MXBean and the statistics go for good. */
    public static void detach() {
        synchronized (LOCK) {
            if (detached) {
                return;
            }
            detached = true;
            live = NONE;
            if (published && Recorder.JFR) {
                JfrStart.stop();
            }
            if (waiting != null) {
                waiting.interrupt();
                waiting = null;
            }
            if (mbeanName != null) {
                try {
                    Jmx.unregister(mbeanName);
                } catch (Exception | LinkageError failure) {
                    report("unregistered", failure);
                }
                mbeanName = null;
            }
        }
    }

    static TransformerCounts[] live() {
        return live;
    }

    // Outside any class's transformation: what JFR needs is loaded once it starts. The
    // MXBean goes into the platform MBean server only once something has made that server
    // (the application, a monitoring agent, JConsole attaching): making it here would load
    // some 700 classes and take a few hundred milliseconds in a JVM nobody watches.
    private static void publish() {
        if (Recorder.JFR) {
            JfrStart.listen();
        }
        if (Modules.readable("java.management")) {
            if (!registerIfServerExists()) {
                Thread watcher = new Thread(null, Transformers::awaitServer, "Quorvane MXBean registration", 0, false);
                watcher.setDaemon(true);
                watcher.setContextClassLoader(null);  // pins no loader but this copy's
                waiting = watcher;
                watcher.start();
            }
        }
    }

    // Under LOCK. True when the MXBean is registered now, or never will be (this copy is
    // detached, or registering failed).
    private static boolean registerIfServerExists() {
        if (detached) {
            return true;
        }
        try {
            if (!Jmx.platformServerExists()) {
                return false;
            }
            mbeanName = Jmx.register();
        } catch (Exception | LinkageError failure) {
            report("registered", failure);
        }
        return true;
    }

    // The watcher thread: looks for the platform MBean server once a second, registers the
    // MXBean when it is there and ends; detach() ends it sooner.
    private static void awaitServer() {
        try {
            for (;;) {
                Thread.sleep(WATCH_MILLIS);
                synchronized (LOCK) {
                    if (registerIfServerExists()) {
                        waiting = null;
                        return;
                    }
                }
            }
        } catch (InterruptedException detaching) {
            // detach() ends the wait.
        }
    }

    // There may be no log yet (a transformer is set before initNative()): standard error.
    private static void report(String what, Throwable failure) {
        System.err.println("[Quorvane] The MXBean ".concat(TransformersMXBean.OBJECT_NAME).concat(" could not be ")
                .concat(what).concat(": ").concat(String.valueOf(failure)));
    }
}
