package qv.vantrel.quorvane.instrument;

import java.lang.instrument.ClassFileTransformer;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;
import qv.vantrel.quorvane.observe.Outcome;
import qv.vantrel.quorvane.observe.Recorder;
import qv.vantrel.quorvane.observe.TransformerCounts;
import qv.vantrel.quorvane.observe.Transformers;

/**
 * The transformers of this copy of Quorvane: those added without retransformation in
 * one list, the others in a second, each list run by the class-file-load hook of its own
 * JVMTI environment. Every Instrumentation of this copy shares it: the one
 * {@code Quorvane.instrumentation()} hands out and one per agent jar started. As on the
 * JDK's route, where each agent has environments of its own, a list holds the
 * transformers of each Instrumentation together, in the order the Instrumentations were
 * made, and each one's in the order it added them.
 *
 * <p>Each call of a transformer is counted for the Transformers MXBean and, while a
 * recording enables it, recorded as a JFR event (qv.vantrel.quorvane.observe).
 *
 * <p>Threads: the lists are replaced, never changed, under {@code lock}, so that the
 * hook reads them on any class-loading thread without a lock; {@code lock} also
 * serializes switching each environment's event on with its first transformer and off
 * with its last.
 */
final class TransformerManager {
    /**
     * A transformer as added, with its native method prefix, the Instrumentation that added
     * it and where its calls are counted.
     */
    private static final class Registered {
        final ClassFileTransformer transformer;
        final String prefix;
        final int owner;
        final TransformerCounts counts;

        Registered(ClassFileTransformer transformer, String prefix, int owner, TransformerCounts counts) {
            this.transformer = transformer;
            this.prefix = prefix;
            this.owner = owner;
            this.counts = counts;
        }
    }

    private static final Registered[] NONE = new Registered[0];
    static final String DETACHED = "this copy of Quorvane was detached";

    /** The manager of this copy, once an Instrumentation was handed out; read by the hook. */
    private static volatile TransformerManager active;

    private final Object lock = new Object();
    private volatile Registered[] plain = NONE;
    private volatile Registered[] retransformable = NONE;
    private volatile boolean detached;
    private final Module bootUnnamed;
    private int owners;  // guarded by lock: how many Instrumentations were made

    private TransformerManager(Module bootUnnamed) {
        this.bootUnnamed = bootUnnamed;
    }

    /** Made once, when the native side hands out the first Instrumentation. */
    static TransformerManager start() {
        Module bootUnnamed = null;
        for (Module module : InstrumentNatives.allModules()) {
            if (!module.isNamed() && module.getClassLoader() == null) {
                bootUnnamed = module;
            }
        }
        TransformerManager manager = new TransformerManager(bootUnnamed);
        active = manager;
        return manager;
    }

    /** Throws what every call after {@code Quorvane.detach()} throws. */
    void checkAttached(String method) {
        if (detached) {
            throw new IllegalStateException("Instrumentation." + method + ": " + DETACHED);
        }
    }

    /** The number of a new Instrumentation: its transformers run after those of every earlier one. */
    int newOwner() {
        synchronized (lock) {
            return owners++;
        }
    }

    void add(ClassFileTransformer transformer, boolean canRetransform, int owner) {
        synchronized (lock) {
            checkAttached("addTransformer");
            Registered[] list = canRetransform ? retransformable : plain;
            TransformerCounts counts = Transformers.added(transformer, Transformers.INSTRUMENTATION);
            if (list.length == 0) {
                InstrumentNatives.setHookEnabled(canRetransform, true);
            }
            // After the last transformer of this Instrumentation or of an earlier one.
            int at = list.length;
            while (at > 0 && list[at - 1].owner > owner) {
                at--;
            }
            Registered[] grown = new Registered[list.length + 1];
            System.arraycopy(list, 0, grown, 0, at);
            grown[at] = new Registered(transformer, null, owner, counts);
            System.arraycopy(list, at, grown, at + 1, list.length - at);
            publish(canRetransform, grown);
        }
    }

    /**
     * Removes the last registration of the transformer by this owner, looking among the
     * non-retransformable first; an Instrumentation never removes another's transformers.
     */
    boolean remove(ClassFileTransformer transformer, int owner) {
        synchronized (lock) {
            checkAttached("removeTransformer");
            for (boolean canRetransform : new boolean[] {false, true}) {
                Registered[] list = canRetransform ? retransformable : plain;
                int at = lastIndexOf(list, transformer, owner);
                if (at < 0) {
                    continue;
                }
                Registered[] shrunk = new Registered[list.length - 1];
                System.arraycopy(list, 0, shrunk, 0, at);
                System.arraycopy(list, at + 1, shrunk, at, list.length - at - 1);
                publish(canRetransform, shrunk);
                Transformers.removed(list[at].counts);
                if (shrunk.length == 0) {
                    InstrumentNatives.setHookEnabled(canRetransform, false);
                }
                return true;
            }
            return false;
        }
    }

    /** False when the owner has not registered the transformer. */
    boolean setNativeMethodPrefix(ClassFileTransformer transformer, String prefix, int owner) {
        synchronized (lock) {
            checkAttached("setNativeMethodPrefix");
            for (boolean canRetransform : new boolean[] {false, true}) {
                Registered[] list = (canRetransform ? retransformable : plain).clone();
                int at = lastIndexOf(list, transformer, owner);
                if (at < 0) {
                    continue;
                }
                list[at] = new Registered(transformer, prefix, owner, list[at].counts);
                List<String> prefixes = new ArrayList<>();
                for (Registered registered : list) {
                    if (registered.prefix != null && !registered.prefix.isEmpty()) {
                        prefixes.add(registered.prefix);
                    }
                }
                InstrumentNatives.setNativeMethodPrefixes(prefixes.toArray(new String[0]), canRetransform);
                publish(canRetransform, list);
                return true;
            }
            return false;
        }
    }

    /** Called by the native side on {@code Quorvane.detach()}: every transformer goes. */
    static void detach() {
        TransformerManager manager = active;
        active = null;
        if (manager != null) {
            synchronized (manager.lock) {
                manager.detached = true;
                manager.plain = NONE;
                manager.retransformable = NONE;
            }
        }
    }

    /**
     * The upcall of the class-file-load hook (keep in sync with src/instrument): runs the
     * transformers of one environment in their order, each given what the one before
     * returned. An exception a transformer throws drops its result, and one warning line
     * names it; it never reaches the loading code.
     *
     * @param module the class's named module, or null for the loader's unnamed module
     * @return the new class file, or null when no transformer changed it
     */
    static byte[] transform(boolean retransformable, Module module, ClassLoader loader, String name,
            Class<?> redefined, ProtectionDomain domain, byte[] classFile) {
        TransformerManager manager = active;
        if (manager == null) {
            return null;
        }
        Registered[] list = retransformable ? manager.retransformable : manager.plain;
        if (list.length == 0) {
            return null;
        }
        Module in = module != null ? module : loader != null ? loader.getUnnamedModule() : manager.bootUnnamed;
        byte[] current = classFile;
        boolean changed = false;
        for (Registered registered : list) {
            Object event = Recorder.begin();
            long start = System.nanoTime();
            byte[] result;
            Throwable failure = null;
            try {
                result = registered.transformer.transform(in, loader, name, redefined, domain, current);
            } catch (Throwable thrown) {
                failure = thrown;
                result = null;
            }
            long elapsed = System.nanoTime() - start;
            int outcome = failure != null ? Outcome.FAILED : result != null ? Outcome.CHANGED : Outcome.UNCHANGED;
            if (event != null) {
                Recorder.transformed(event, registered.counts, name, retransformable, redefined, current.length,
                        result != null ? result.length : current.length, outcome, failure);
            }
            registered.counts.record(outcome, elapsed);
            if (failure != null) {
                warn(name, registered.transformer, failure);
            } else if (result != null) {
                current = result;
                changed = true;
            }
        }
        return changed ? current : null;
    }

    private static void warn(String name, ClassFileTransformer transformer, Throwable failure) {
        String message;
        try {
            message = String.valueOf(failure);
        } catch (RuntimeException unprintable) {
            message = failure.getClass().getName();
        }
        InstrumentNatives.logWarning("[Quorvane] Instrumentation: transformer " + transformer.getClass().getName()
                + " threw " + message + " for " + (name != null ? name : "a class without a name")
                + "; its result is dropped");
    }

    private void publish(boolean canRetransform, Registered[] list) {
        if (canRetransform) {
            retransformable = list;
        } else {
            plain = list;
        }
    }

    private static int lastIndexOf(Registered[] list, ClassFileTransformer transformer, int owner) {
        for (int i = list.length - 1; i >= 0; i--) {
            if (list[i].transformer == transformer && list[i].owner == owner) {
                return i;
            }
        }
        return -1;
    }
}
