package qvloadagent;

import java.lang.instrument.Instrumentation;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/** What the test agents record when they start, and the classes their transformers see. */
public final class Started {
    /** Every start, in order. */
    public static final List<Started> STARTS = Collections.synchronizedList(new ArrayList<>());
    /** Transformer name and class name, for each class of qvloadagent/fix/ a test transformer saw. */
    public static final List<String> SEEN = Collections.synchronizedList(new ArrayList<>());

    public final Class<?> agentClass;
    public final String method;
    public final String options;
    public final Instrumentation inst;

    private Started(Class<?> agentClass, String method, String options, Instrumentation inst) {
        this.agentClass = agentClass;
        this.method = method;
        this.options = options;
        this.inst = inst;
    }

    /** Called by an agent's entry method; inst is null for the one-argument forms. */
    public static void record(Class<?> agentClass, String method, String options, Instrumentation inst) {
        STARTS.add(new Started(agentClass, method, options, inst));
    }

    public static Started last() {
        return STARTS.get(STARTS.size() - 1);
    }
}
